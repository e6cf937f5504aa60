"""velkor_tools.Tokenizer's threading, as ratios (not a test; figures are noisy
on a shared machine: run it on an idle one).

    .venv/bin/python bench/tokenizer_batch.py [--mb 8] [--model FILE]

Without --model, trains a small model on examples/sample.txt. Prints, each the
median of --runs interleaved runs with its range, and the ratio of the best
time of each side (the figure least disturbed by other load):
- encode_batch_to_numpy on N threads against 1 thread, for lines and for
  documents of about 2 KB (N = the cores this process may use);
- encode_to_numpy against velkor's Data.encode, one thread, whole text;
- two Python threads calling encode_to_numpy on one Tokenizer against one.

The peers' batch calls on every core are rows of bench/compare_peers.py.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import threading
import time

import velkor

from velkor_tools import Tokenizer

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))


def clock(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def documents(text: str, size: int) -> list[str]:
    out, start = [], 0
    while start < len(text):
        end = text.find("\n", start + size)
        end = len(text) if end < 0 else end + 1
        out.append(text[start:end])
        start = end
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=8, help="MB of text (default 8)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--model", help="a tokenizer file (default: a small model trained here)")
    args = parser.parse_args()
    from tokenizer_model import MIXED, SAMPLE, train_model

    with tempfile.TemporaryDirectory() as folder:
        model = pathlib.Path(args.model) if args.model else train_model(pathlib.Path(folder))
        tok, data = Tokenizer.from_file(model), velkor.load_from_file(str(model))
        unit = SAMPLE.read_text() + MIXED
        text = unit * max(1, int(args.mb * 1e6 / len(unit.encode())))
    cores = len(os.sched_getaffinity(0))
    lines, docs = text.splitlines(keepends=True), documents(text, 2048)
    half = [text[: len(text) // 2], text[len(text) // 2 :]]
    cases = {
        f"lines, {cores} threads / 1": (
            lambda: tok.encode_batch_to_numpy(lines, num_threads=cores),
            lambda: tok.encode_batch_to_numpy(lines, num_threads=1)),
        f"2 KB documents, {cores} threads / 1": (
            lambda: tok.encode_batch_to_numpy(docs, num_threads=cores),
            lambda: tok.encode_batch_to_numpy(docs, num_threads=1)),
        "encode_to_numpy / Data.encode, one thread": (
            lambda: tok.encode_to_numpy(text), lambda: data.encode(text)),
        "2 Python threads / 1, encode_to_numpy": (
            lambda: two_threads(tok, half), lambda: [tok.encode_to_numpy(t) for t in half]),
    }
    print(f"{len(text.encode()) / 1e6:.1f} MB, {cores} cores, model {len(tok)} tokens")
    for name, (ours, base) in cases.items():
        base(), ours()  # untimed: the first array call imports NumPy, the first batch starts threads
        speedups, bases, ourses = [], [], []
        for _ in range(args.runs):
            b, o = clock(base), clock(ours)
            speedups.append(b / o)
            bases.append(b)
            ourses.append(o)
        # The best of each side is the figure least disturbed by other load.
        print(f"{name}: {statistics.median(speedups):.2f}x "
              f"(range {min(speedups):.2f}-{max(speedups):.2f}; best / best {min(bases) / min(ourses):.2f}x)")


def two_threads(tok: Tokenizer, texts: list[str]) -> None:
    threads = [threading.Thread(target=tok.encode_to_numpy, args=(t,)) for t in texts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


if __name__ == "__main__":
    main()
