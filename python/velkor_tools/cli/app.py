"""The `velkor` command: the parser of every subcommand, and the exit statuses."""

from __future__ import annotations

import argparse
import codecs
import importlib
import io
import importlib.metadata
import os
import sys
from typing import Any

from velkor_tools.cli.common import EXIT_INTERRUPTED
from velkor_tools.errors import ToolError
from velkor_tools.files import abandon_stdout, describe, flush_stdout, output_stream
from velkor_tools.streams import guard_closed_streams
from velkor_tools.plain_errors import plain

# Each module defines register(subparsers), which adds its subparser and sets
# `run` (a function of the parsed arguments returning an exit status).
SUBCOMMAND_MODULES = [
    "velkor_tools.cli.new",
    "velkor_tools.cli.train",
    "velkor_tools.cli.encode",
    "velkor_tools.cli.decode",
    "velkor_tools.cli.info",
    "velkor_tools.cli.show",
    "velkor_tools.cli.stats",
    "velkor_tools.cli.encode_corpus",
    "velkor_tools.cli.verify",
]

class Parser(argparse.ArgumentParser):
    """argparse drops a failed write of --help or --version; here one to standard
    output raises, so the command cannot report success for text that never came out."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message and file is sys.stdout:
            file.write(message)
        else:
            super()._print_message(message, file)


class CommandParser(Parser):
    """A subcommand's parser: options may stand before, between or after its
    positional arguments, and an unrecognized argument is a usage error of
    this subcommand (with its usage), not of the whole command."""

    _parsing = False

    def parse_known_args(self, args=None, namespace=None):  # type: ignore[no-untyped-def]
        if self._parsing:  # the two passes of the intermixed parse
            return super().parse_known_args(args, namespace)
        args = list(sys.argv[1:] if args is None else args)
        # argparse's intermixed parse loses "--": an argument after it that
        # begins with "-" (`velkor info -- -m.tok`, `velkor show m.tok -- -5`)
        # was taken for an option. Each one stands in as a name no option can
        # have and is put back after the parse.
        held: dict[str, str] = {}
        if "--" in args:
            cut = args.index("--")
            held = {f"\0velkor-argument-{number}": value for number, value in enumerate(args[cut + 1 :])}
            args = args[:cut] + list(held)
        self._parsing = True
        try:
            parsed, extras = self.parse_known_intermixed_args(args, namespace)
        finally:
            self._parsing = False
        if extras:
            self.error(f"unrecognized arguments: {' '.join(held.get(extra, extra) for extra in extras)}")
        for name, value in vars(parsed).items():
            if isinstance(value, str) and value in held:
                setattr(parsed, name, held[value])
            elif isinstance(value, list):
                setattr(parsed, name, [held.get(item, item) if isinstance(item, str) else item for item in value])
        return parsed, extras


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="velkor",
        description="Train, inspect and apply velkor tokenizers.",
        epilog="example: velkor new model.tok && velkor train model.tok corpus.txt",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"velkor {_version()}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=CommandParser)
    for name in SUBCOMMAND_MODULES:
        importlib.import_module(name).register(subparsers)
    return parser


def _version() -> str:
    try:
        return importlib.metadata.version("velkor")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


def _escape(error: UnicodeError) -> tuple[str | bytes, int]:
    """A name that is not UTF-8 prints as its bytes (as surrogateescape does);
    a character that standard output's encoding lacks (an ASCII or Latin-1
    locale, PYTHONIOENCODING) prints as a backslash escape instead of failing."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    char = error.object[error.start]
    if "\udc80" <= char <= "\udcff":
        return bytes([ord(char) - 0xDC00]), error.start + 1
    return char.encode("ascii", "backslashreplace").decode("ascii"), error.start + 1


codecs.register_error("velkor-escape", _escape)


def main(argv: list[str] | None = None) -> int:
    """Runs the command; returns 0 on success, 1 on an error, 130 after Ctrl-C
    (a usage error exits with 2 from the parser)."""
    guard_closed_streams()
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="velkor-escape")
    # NumPy's OpenBLAS starts a thread per core at import, for nothing the
    # command uses, and under a tight process limit (ulimit -u) it fails to
    # and raises SIGINT, which would end the command as "interrupted".
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    parser = build_parser()
    try:
        with output_stream(None):  # --help into a closed or full standard output fails
            try:
                args = parser.parse_args(argv)
            except SystemExit as done:
                if done.code in (0, None):  # --help, --version: their text must be out
                    flush_stdout()
                raise
            if args.command is None:  # `velkor` alone: what there is to run
                parser.print_help()
                return 0
    except ToolError as error:
        print(f"velkor: {error}", file=sys.stderr)
        return error.status
    except BrokenPipeError:  # `velkor --help | head -1`
        abandon_stdout()
        return 1
    try:
        status = int(args.run(args) or 0)
        flush_stdout()  # a write that fails here must not pass as success
        return status
    except ToolError as error:
        print(f"velkor: {error}", file=sys.stderr)
        return error.status
    except BrokenPipeError:
        # The reader went away (`velkor info m | head`): stop quietly, as `cat` does.
        abandon_stdout()
        return 1
    except OSError as error:  # one no command turned into a ToolError: still one line
        where = f"{error.filename}: " if error.filename else ""
        print(f"velkor: {where}{describe(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("velkor: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except MemoryError:
        print("velkor: out of memory", file=sys.stderr)
        return 1
    except BaseException as error:
        # A failure inside the tokenizer module that no command turned into a
        # ToolError: still one line, no traceback.
        if type(error).__name__ != "PanicException":
            raise
        print(f"velkor: the tokenizer module failed: {plain(str(error))}", file=sys.stderr)
        return 1
