"""Huge and hostile inputs, measured: time and peak resident memory of

  encode   10 MB and 100 MB of varied text (scaling should be linear),
           1 and 10 million repeats of one character (with the trained model,
           and with a chain of merges a+a, aa+aa, ... that halves the sequence
           at every level);
  cluster  one grapheme cluster of a letter and 100,000 / 1,000,000
           combining acute accents (2 MB), encoded and trained on;
  decode   5 and 50 million ids;
  train    training files of the given sizes (default 100 MB and 1 GB),
           generated in a scratch folder and deleted afterwards.

Every case runs in a child process of its own. "peak" is the child's peak
RSS during the call alone (the peak is reset after the inputs are built),
"extra" that peak less the RSS before the call.

Usage: python bench/hostile_input.py [case ...] [--train-sizes 100M,1G]
                                      [--train-text words|clusters]
Cases: encode cluster decode flood train (default: all). "flood" encodes a
text whose pair keys are crafted (ids that are multiples of 256) against one
with random ids: the pair index's table must not degrade.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

CHUNK = 3_067_833
MB = 1_000_000
SCRATCH_PARENT = os.environ.get("TMPDIR", "/tmp")


# --- Text ----------------------------------------------------------------------


def word_blocks(count: int = 16, size: int = MB, seed: int = 5) -> list[str]:
    """Blocks of English-like text: words of a few syllables in a skewed mix,
    sentences, line breaks. Cheap to repeat, varied enough to train on."""
    rng = random.Random(seed)
    syllables = ["ka", "to", "ri", "en", "as", "ve", "lo", "mi", "st", "an",
                 "th", "er", "qu", "zo", "pe", "ul", "ne", "ga", "ho", "ys"]
    words = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4)))
             for _ in range(3000)]
    weights = [1 / (rank + 1) for rank in range(len(words))]
    blocks = []
    for _ in range(count):
        out, length = [], 0
        while length < size:
            line = " ".join(rng.choices(words, weights, k=12))
            line += ".\n" if rng.random() < 0.3 else ", "
            out.append(line)
            length += len(line)
        blocks.append("".join(out)[:size])
    return blocks


def cluster_blocks(count: int = 16, size: int = MB, seed: int = 7) -> list[str]:
    """Blocks of long clusters (a CJK letter and 30 combining marks) from a
    pool of 3,000: few clusters per chunk and no pair frequent enough to
    merge for long, so each chunk trains fast."""
    rng = random.Random(seed)
    marks = "".join(chr(0x300 + i) for i in range(30))
    blocks = []
    for _ in range(count):
        out, length = [], 0
        while length < size:
            out.append(chr(0x4E00 + rng.randrange(3000)) + marks)
            length += 63
        blocks.append("".join(out))
    return blocks


def text_of(size: int, blocks: list[str], seed: int = 1) -> str:
    """About size characters: whole blocks in a random order."""
    rng = random.Random(seed)
    parts, length = [], 0
    while length < size:
        block = rng.choice(blocks)
        parts.append(block[: size - length])
        length += len(parts[-1])
    return "".join(parts)


def write_training_file(path: str, size: int, blocks: list[str], seed: int = 3) -> None:
    rng = random.Random(seed)
    encoded = [b.encode() for b in blocks]
    written = 0
    with open(path, "wb") as f:
        while written < size:
            block = rng.choice(encoded)[: size - written]
            f.write(block)
            written += len(block)


def image(lookup, merges, unicode_lookup) -> bytes:
    out = bytearray(struct.pack("<Q", len(lookup)))
    for token_id, raw in lookup.items():
        out += struct.pack("<HQ", token_id, len(raw)) + raw
    out += struct.pack("<Q", len(merges))
    for (left, right), merged in merges.items():
        out += struct.pack("<HHH", left, right, merged)
    out += struct.pack("<Q", len(unicode_lookup))
    for text, token_id in unicode_lookup.items():
        raw = text.encode()
        out += struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token_id)
    return bytes(out)


MINIMAL = image({0: b""}, {}, {"oov": 0})


def chain_model() -> bytes:
    """"a" and the merges a+a, aa+aa, ... up to 2^16 letters."""
    lookup, merges = {0: b"", 1: b"a"}, {}
    for level in range(1, 17):
        lookup[level + 1] = b"a" * 2**level
        merges[(level, level)] = level + 1
    return image(lookup, merges, {"oov": 0, "a": 1})


# --- Child side ------------------------------------------------------------------


def status(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field}")


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def measure(call, *args):
    """(result, wall seconds, CPU seconds, RSS before, peak RSS during)."""
    reset_peak()
    before = status("VmRSS")
    wall, cpu = time.perf_counter(), time.process_time()
    result = call(*args)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return result, wall, cpu, before, status("VmHWM")


def quiet_stdout():
    """Training prints to file descriptor 1; send it nowhere."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)


def child(case: str, arg: str, scratch: str, out_path: str) -> None:
    """One measurement, so that memory freed by an earlier one cannot hide
    in the RSS before the call."""
    import velkor

    os.chdir(scratch)
    if case == "train":
        data = velkor.load_from_file("minimal")
        size = os.path.getsize(arg)
        quiet_stdout()
        r = measure(data.train, arg, False, "train.log")
        name, unit = f"train {os.path.basename(arg)} ({len(data.vocab()):,} ids)", "MB"
    else:
        data = velkor.load_from_file("chain" if case == "encode-chain" else "model")
        size = parse_size(arg) if arg[0].isdigit() else 0
        unit = "MB"
        if case == "encode-words":
            text = text_of(size, word_blocks())
            r = measure(data.encode, text)
            name = f"encode words ({len(r[0]):,} ids)"
        elif case in ("encode-repeat", "encode-chain"):
            r = measure(data.encode, "a" * size)
            name = "encode 'a' repeated, " + ("merge chain" if case == "encode-chain" else
                                              "trained model")
        elif case == "encode-cluster":
            text = "e" + "\u0301" * (size // 2)
            r = measure(data.encode, text)
            assert r[0] == [0]
            name = f"encode 1 cluster, {size // 2:,} marks"
        elif case == "train-cluster":
            text = "e" + "\u0301" * (size // 2)
            with open("cluster.txt", "w") as f:
                f.write(text + "e" + text)
            quiet_stdout()
            r = measure(data.train, "cluster.txt", False, "train.log")
            ids = data.encode(text)
            assert len(ids) == 1 and data.decode(ids) == text
            name, size = f"train on 2 clusters of {size // 2:,} marks", 2 * size
        elif case == "encode-flood":
            # 255 clusters whose ids are multiples of 256 ("crafted": every
            # pair key (left << 16 | right) then has its low 8 bits of each
            # half zero) or random ids; 2 million clusters in random order.
            rng = random.Random(4)
            if arg == "crafted":
                ids = [256 * (i + 1) for i in range(255)]
            else:
                ids = rng.sample(range(1, 65536), 255)
            clusters = [chr(0x4E00 + i) for i in range(255)]
            with open("flood", "wb") as f:
                f.write(image({0: b"", **{t: c.encode() for t, c in zip(ids, clusters)}}, {},
                              {"oov": 0, **dict(zip(clusters, ids))}))
            data = velkor.load_from_file("flood")
            text = "".join(rng.choice(clusters) for _ in range(2 * MB))
            best = None
            for _ in range(5):
                r = measure(data.encode, text)
                best = r if best is None or r[2] < best[2] else best
            r, size = best, len(text.encode())
            name = f"encode 2M clusters, {arg} ids"
        elif case == "decode":
            vocab = sorted(data.vocab())
            ids = (vocab * (size // len(vocab) + 1))[:size]
            r = measure(data.decode, ids)
            name, unit = f"decode ({len(r[0]):,} characters)", "M ids"
        else:
            raise SystemExit(f"unknown case {case}")
    _, wall, cpu, before, peak = r
    with open(out_path, "w") as f:
        json.dump([{"name": name, "size": size, "wall": wall, "cpu": cpu, "before": before,
                    "peak": peak, "unit": unit}], f)


# --- Parent side --------------------------------------------------------------------


def run_case(case: str, scratch: str, arg: str) -> list[dict]:
    out_path = os.path.join(scratch, "result.json")
    started = time.monotonic()
    proc = subprocess.run(
        [sys.executable, __file__, "--child", case, arg, scratch, out_path],
        stderr=subprocess.PIPE, text=True,
    )
    if proc.returncode != 0:
        tail = "\n".join(proc.stderr.strip().splitlines()[-4:])
        print(f"{case} {os.path.basename(arg)}: FAILED after {time.monotonic() - started:.0f} s"
              f"\n{tail}", flush=True)
        return []
    with open(out_path) as f:
        return json.load(f)


def print_rows(rows: list[dict]) -> None:
    for r in rows:
        print(f"  {r['name']:<44} {r['size'] / MB:9.1f} {r['unit']:<5} {r['wall']:8.2f} s wall"
              f" {r['cpu']:8.2f} s cpu  peak {r['peak'] / 2**20:8.1f} MiB"
              f"  (+{(r['peak'] - r['before']) / 2**20:.1f} MiB over the inputs)", flush=True)


def ratio(rows: list[dict], name_start: str, what: str) -> None:
    picked = [r for r in rows if r["name"].startswith(name_start)]
    if len(picked) == 2:
        small, large = picked
        print(f"  -> {what}: {large['size'] / small['size']:.0f}x the input took "
              f"{large['cpu'] / small['cpu']:.1f}x the CPU time", flush=True)


def parse_size(text: str) -> int:
    units = {"K": 10**3, "M": 10**6, "G": 10**9}
    return int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].isalpha() else int(text)


def train_model(scratch: str) -> float:
    """A model with merges for the encode and decode cases: one chunk of the
    word text."""
    import velkor

    folder = os.path.join(scratch, "seed")
    os.mkdir(folder)
    previous = os.getcwd()
    os.chdir(folder)
    try:
        with open("minimal", "wb") as f:
            f.write(MINIMAL)
        with open("sample.txt", "w") as f:
            f.write(text_of(CHUNK, word_blocks(), seed=9))
        started = time.monotonic()
        saved = os.dup(1)
        quiet_stdout()
        try:
            velkor.load_from_file("minimal").train("sample.txt", False, "train.log")
        finally:
            os.dup2(saved, 1)
        shutil.copy("tokenizer", os.path.join(scratch, "model"))
        return time.monotonic() - started
    finally:
        os.chdir(previous)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*",
                        default=["encode", "cluster", "decode", "flood", "train"])
    parser.add_argument("--train-sizes", default="100M,1G")
    parser.add_argument("--train-text", choices=["words", "clusters"], default="words")
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="velkor-hostile-", dir=SCRATCH_PARENT)
    try:
        with open(os.path.join(scratch, "minimal"), "wb") as f:
            f.write(MINIMAL)
        with open(os.path.join(scratch, "chain"), "wb") as f:
            f.write(chain_model())
        seconds = train_model(scratch)
        print(f"model: one chunk of word text trained in {seconds:.1f} s", flush=True)
        plans = {
            "encode": [("encode-words", "10M"), ("encode-words", "100M"),
                       ("encode-repeat", "1M"), ("encode-repeat", "10M"),
                       ("encode-chain", "1M"), ("encode-chain", "10M")],
            "cluster": [("encode-cluster", "200K"), ("encode-cluster", "2M"),
                        ("train-cluster", "200K"), ("train-cluster", "2M")],
            "decode": [("decode", "5M"), ("decode", "50M")],
            "flood": [("encode-flood", "random"), ("encode-flood", "crafted")],
        }
        for case in args.cases:
            if case != "train":
                print(case, flush=True)
                rows = []
                for name, size in plans[case]:
                    rows += run_case(name, scratch, size)
                    print_rows(rows[-1:])
                for start, what in (("encode words", "encode scaling"),
                                    ("encode 'a' repeated, trained", "repeated 'a' scaling"),
                                    ("encode 'a' repeated, merge", "merge chain scaling"),
                                    ("encode 1 cluster", "one cluster scaling"),
                                    ("decode", "decode scaling")):
                    ratio(rows, start, what)
                flood = [r for r in rows if r["name"].startswith("encode 2M clusters")]
                if len(flood) == 2:
                    print(f"  -> crafted/random ids: {flood[1]['cpu'] / flood[0]['cpu']:.2f}x the"
                          " CPU time", flush=True)
                continue
            print(f"train ({args.train_text} text)", flush=True)
            blocks = word_blocks() if args.train_text == "words" else cluster_blocks()
            for size_text in args.train_sizes.split(","):
                path = os.path.join(scratch, f"{args.train_text}-{size_text}.txt")
                write_training_file(path, parse_size(size_text), blocks)
                try:
                    print_rows(run_case("train", scratch, path))
                finally:
                    os.remove(path)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
