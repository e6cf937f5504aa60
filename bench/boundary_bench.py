"""Cost of the Python boundary: encode, decode and vocab of a trained model.

Usage: .venv/bin/python bench/boundary_bench.py [text file]

Trains the installed velkor module from the 47-byte starter tokenizer on the
first 3 MB of the text (default: the mixed-language benchmark corpus, built
by bench/corpus.py) in a scratch directory, then times, best of seven, in
thread CPU time:

- encode of the whole text (MB of input per second);
- decode of the resulting ids as a list and as a tuple (MB of output text
  per second, argument conversion included);
- vocab.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

import velkor
from velkor_tools.model import STARTER_MODEL

TRAIN_BYTES = 3_000_000
ROUNDS = 7


def best(fn, *args) -> tuple[float, object]:
    result = None
    times = []
    for _ in range(ROUNDS):
        start = time.thread_time()
        result = fn(*args)
        times.append(time.thread_time() - start)
    return min(times), result


def main() -> None:
    root = Path(__file__).resolve().parent.parent
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build/bench-corpus/mixed.txt"
    if not source.exists():
        sys.exit(f"{source} is missing: run bench/corpus.py first")
    raw = source.read_bytes()[:TRAIN_BYTES]
    text = raw.decode("utf-8", errors="ignore")

    with tempfile.TemporaryDirectory() as scratch:
        old = os.getcwd()
        os.chdir(scratch)
        try:
            Path("starter").write_bytes(STARTER_MODEL)
            Path("train.txt").write_text(text, encoding="utf-8")
            data = velkor.load_from_file("starter")
            devnull = os.open(os.devnull, os.O_WRONLY)
            saved = os.dup(1)
            os.dup2(devnull, 1)  # training prints a line per merge
            try:
                data.train("train.txt", False, "log.txt")
            finally:
                os.dup2(saved, 1)
                os.close(saved)
                os.close(devnull)
        finally:
            os.chdir(old)

    size = len(text.encode("utf-8"))
    seconds, ids = best(data.encode, text)
    print(f"model: {len(data.vocab())} tokens; text {size / 1e6:.2f} MB -> {len(ids)} ids")
    print(f"encode      {seconds * 1e3:8.1f} ms  {size / 1e6 / seconds:8.1f} MB/s")

    for name, tokens in (
        ("decode list", ids),
        ("decode tuple", tuple(ids)),
    ):
        seconds, out = best(data.decode, tokens)
        assert out == text, "decode(encode(text)) differs"
        print(f"{name:12}{seconds * 1e3:8.1f} ms  {size / 1e6 / seconds:8.1f} MB/s")

    seconds, vocab = best(data.vocab)
    print(f"vocab       {seconds * 1e3:8.3f} ms  ({len(vocab)} ids)")


if __name__ == "__main__":
    main()
