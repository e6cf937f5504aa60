"""The main job, end to end: load a tokenizer file, train it on a sample text,
then encode and decode with it.

The Python API counterpart of examples/quickstart.sh (which `make demo` runs):
`.venv/bin/python examples/demo.py`. Everything is written under build/demo/, since training
saves "tokenizer" (and may write "log.txt") in the working directory.
"""

import os
import struct
import sys
from pathlib import Path

import velkor

HERE = Path(__file__).resolve().parent
WORK = HERE.parent / "build" / "demo"


def starter_model() -> bytes:
    """The smallest useful model: id 0 is the empty token, "oov" maps to 0."""
    lookup = struct.pack("<Q", 1) + struct.pack("<HQ", 0, 0)
    merges = struct.pack("<Q", 0)
    unicode_lookup = struct.pack("<Q", 1) + struct.pack("<Q", 3) + b"oov" + struct.pack("<H", 0)
    return lookup + merges + unicode_lookup


def merge_count(image: bytes) -> int:
    """Number of merges in a tokenizer file: the count after the lookup section."""
    (entries,) = struct.unpack_from("<Q", image, 0)
    offset = 8
    for _ in range(entries):
        (length,) = struct.unpack_from("<Q", image, offset + 2)
        offset += 10 + length
    return struct.unpack_from("<Q", image, offset)[0]


def main() -> None:
    WORK.mkdir(parents=True, exist_ok=True)
    os.chdir(WORK)
    Path("starter.tokenizer").write_bytes(starter_model())

    tok = velkor.load_from_file("starter.tokenizer")
    print(f"starter vocabulary: {sorted(tok.vocab())}")
    print(f"decode([0]) = {tok.decode([0])!r}")

    sample = (HERE / "sample.txt").read_text(encoding="utf-8")
    Path("train.txt").write_text(sample * 8, encoding="utf-8")
    print("training on", len(sample) * 8, "characters (the module's own progress lines follow)")
    sys.stdout.flush()  # the module writes to file descriptor 1 directly
    tok.train("train.txt", False, "train.log")

    vocab = tok.vocab()
    trained = velkor.load_from_file("tokenizer")
    assert sorted(trained.vocab()) == sorted(vocab)
    text = sample
    ids = tok.encode(text)
    back = tok.decode(ids)
    # A model without merges gives one id per grapheme cluster.
    clusters = len(velkor.load_from_file("starter.tokenizer").encode(text))
    print()
    print(f"vocabulary size: {len(vocab)}")
    print(f"sample text: {len(text)} characters -> {len(ids)} tokens")
    print(f"first ids: {ids[:12]}")
    print(f"as text:   {[tok.decode([i]) for i in ids[:12]]}")
    print(f"round trip exact: {back == text}")
    print(f"merges learned: {merge_count(Path('tokenizer').read_bytes())}")
    print(f"compression: {clusters} clusters -> {len(ids)} tokens, "
          f"{clusters / len(ids):.2f} clusters per token")


if __name__ == "__main__":
    main()
