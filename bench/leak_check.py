"""Leak check of the binding: many load_from_file / vocab / decode calls,
failing ones included, with the resident set size printed at checkpoints.

Exits non-zero when the RSS after the warm-up grows by more than the slack,
judged by the lowest reading of the later checkpoints: a leak keeps rising,
while the allocator may hold a block at one checkpoint and give it back by
the next.
Usage: python bench/leak_check.py [rounds] [slack_kib]
"""

import argparse
import os
import struct
import sys
import tempfile

import velkor

CHECKPOINTS = 5
WARMUP_ROUNDS = 5_000


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def image(lookup: dict[int, bytes], unicode_lookup: dict[str, int]) -> bytes:
    out = bytearray(struct.pack("<Q", len(lookup)))
    for token_id, raw in lookup.items():
        out += struct.pack("<HQ", token_id, len(raw)) + raw
    out += struct.pack("<Q", 0)
    out += struct.pack("<Q", len(unicode_lookup))
    for text, token_id in unicode_lookup.items():
        raw = text.encode()
        out += struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token_id)
    return bytes(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rounds", nargs="?", type=int, default=100_000, help="rounds after the warm-up")
    parser.add_argument("slack_kib", nargs="?", type=int, default=2048, help="RSS growth allowed, KiB")
    args = parser.parse_args()
    rounds, slack_kib = max(1, args.rounds), args.slack_kib

    folder = tempfile.TemporaryDirectory()
    # A few hundred entries, so a model leaked per call would show at once.
    letters = [chr(0x61 + i % 26) + chr(0x3B1 + i // 26) for i in range(300)]
    good = os.path.join(folder.name, "good")
    with open(good, "wb") as f:
        f.write(
            image(
                {0: b"", **{i + 1: t.encode() for i, t in enumerate(letters)}},
                {"oov": 0, **{t: i + 1 for i, t in enumerate(letters)}},
            )
        )
    corrupt = os.path.join(folder.name, "corrupt")
    with open(corrupt, "wb") as f:
        f.write(image({0: b""}, {"oov": 0})[:-5])
    missing = os.path.join(folder.name, "missing")
    ids = list(range(1, 40))

    failures: dict[str, int] = {}

    def attempt(call, *args):
        try:
            return call(*args)
        except BaseException as error:  # noqa: BLE001 - failures are part of the load
            if isinstance(error, KeyboardInterrupt):
                raise
            failures[type(error).__name__] = failures.get(type(error).__name__, 0) + 1
            return None

    class Index:
        def __index__(self):
            raise ValueError("bad element")

    def round_(i: int) -> None:
        data = attempt(velkor.load_from_file, good)
        if data is not None:
            attempt(data.vocab)
            attempt(data.decode, ids)
            # One failing call per round, cycling through the kinds of failure.
            kind = i % 6
            if kind == 0:
                attempt(velkor.load_from_file, missing)
            elif kind == 1:
                attempt(velkor.load_from_file, corrupt)
            elif kind == 2:
                attempt(data.decode, "not a sequence of ids")
            elif kind == 3:
                attempt(data.decode, [1, 2, 70_000])
            elif kind == 4:
                attempt(data.decode, [1, Index()])
            else:
                attempt(data.decode, [1], [2])

    # Failure reports go to stderr; keep them out of the output.
    saved_stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)

    def quiet(count: int, start: int) -> None:
        os.dup2(devnull, 2)
        try:
            for i in range(start, start + count):
                round_(i)
        finally:
            os.dup2(saved_stderr, 2)

    quiet(WARMUP_ROUNDS, 0)
    # The highest reading over two cycles of the failure kinds: some of the
    # calls take a block of a few MiB from the allocator and give it back.
    baseline = 0
    for i in range(12):
        quiet(1, WARMUP_ROUNDS + i)
        baseline = max(baseline, rss_kib())
    print(f"after {WARMUP_ROUNDS} warm-up rounds: RSS {baseline} KiB")
    step = -(-rounds // CHECKPOINTS)
    done = 0
    growths = []
    while done < rounds:
        count = min(step, rounds - done)
        quiet(count, WARMUP_ROUNDS + done)
        done += count
        growth = rss_kib() - baseline
        growths.append(growth)
        print(f"after {done} rounds: RSS {baseline + growth} KiB ({growth:+d} KiB)")
    later_growth = min(growths[len(growths) // 2 :])
    calls = sum(failures.values())
    print(f"failed calls by exception type: {dict(sorted(failures.items()))} ({calls} in all)")
    folder.cleanup()
    if later_growth > slack_kib:
        print(f"LEAK: RSS grew by {later_growth} KiB at least over the later checkpoints, "
              f"more than the {slack_kib} KiB slack")
        return 1
    print(f"ok: RSS growth {later_growth} KiB over the later checkpoints, within {slack_kib} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
