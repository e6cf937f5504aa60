"""The `velkor` command: the parser of every subcommand, and the exit statuses."""

from __future__ import annotations

import argparse
import importlib
import os
import sys

from velkor_tools.cli.common import EXIT_INTERRUPTED
from velkor_tools.errors import ToolError

# Each module defines register(subparsers), which adds its subparser and sets
# `run` (a function of the parsed arguments returning an exit status).
SUBCOMMAND_MODULES = [
    "velkor_tools.cli.new",
    "velkor_tools.cli.train",
    "velkor_tools.cli.encode",
    "velkor_tools.cli.decode",
    "velkor_tools.cli.info",
    "velkor_tools.cli.show",
    "velkor_tools.cli.encode_corpus",
]

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velkor",
        description="Train, inspect and apply velkor tokenizers.",
        epilog="example: velkor new model.tok && velkor train model.tok corpus.txt",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in SUBCOMMAND_MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as error:
            if error.name != name:
                raise
            continue  # not built yet
        module.register(subparsers)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except ToolError as error:
        print(f"velkor: {error}", file=sys.stderr)
        return error.status
    except BrokenPipeError:
        # The reader went away (`velkor info m | head`): stop quietly, as `cat` does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("velkor: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BaseException as error:
        # A failure inside the tokenizer module that no command turned into a
        # ToolError: still one line, no traceback.
        if type(error).__name__ != "PanicException":
            raise
        print(f"velkor: the tokenizer module failed: {error}", file=sys.stderr)
        return 1
