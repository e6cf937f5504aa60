"""`velkor new MODEL`: write the starter model."""

from __future__ import annotations

import argparse

from velkor_tools.cli.common import add_command
from velkor_tools.files import write_atomically
from velkor_tools.model import STARTER_MODEL


def new_model(path: str, force: bool = False) -> None:
    """Writes the 47-byte starter model to path; refuses an existing file unless force."""
    write_atomically(path, STARTER_MODEL, replace=force)


def run(args: argparse.Namespace) -> int:
    new_model(args.model, args.force)
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "new", "write the smallest useful model",
        "Write the smallest useful model to MODEL: id 0 is the empty token and "
        '"oov" (any unknown cluster) maps to it. Training grows it from there.',
        ["velkor new model.tok"],
    )
    parser.add_argument("model", metavar="MODEL", help="path of the new tokenizer file")
    parser.add_argument("--force", action="store_true", help="replace MODEL if it exists")
    parser.set_defaults(run=run)
