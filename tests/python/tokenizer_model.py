"""A small model trained on mixed scripts, shared by the Tokenizer tests."""

import contextlib
import os
import pathlib

import velkor

from velkor_tools.model import STARTER_MODEL

SAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "sample.txt"
MIXED = "日本語のテキスト 😀👍🏽 🇫🇷🇩🇪 नमस्ते мир\r\n"
TEXTS = [
    "",
    "a",
    MIXED,
    "oov <|im_start|> \u0915\u094d\u0937 e\u0301 \U0001f9d1\u200d\U0001f4bb ☃ zzz",
    SAMPLE.read_text()[:500],
]


def train_model(folder: pathlib.Path) -> pathlib.Path:
    """Trains the starter model on the sample and mixed text; returns the file's path."""
    (folder / "tokenizer").write_bytes(STARTER_MODEL)
    (folder / "train.txt").write_text(SAMPLE.read_text() * 3 + MIXED * 20)
    previous = os.getcwd()
    os.chdir(folder)
    try:
        with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
            velkor.load_from_file("tokenizer").train("train.txt", False, "logs")
    finally:
        os.chdir(previous)
    return folder / "tokenizer"
