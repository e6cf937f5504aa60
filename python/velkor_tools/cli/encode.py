"""`velkor encode MODEL [FILE...]`: texts to token ids."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator

from velkor_tools.cli.common import add_complete_option, add_command, add_model_argument, encoding_failures
from velkor_tools.errors import ToolError
from velkor_tools.files import STDIN_NAME, output_stream, read_input, refuse_model_as_output, split_lines
from velkor_tools._native import ids_text
from velkor_tools.model import load_tokenizer
from velkor_tools.unknown import UnknownClusters, add_strict_unknown_option, missing_clusters
from velkor_tools.utf8 import add_errors_option, decode


def documents(paths: list[str], lines: bool, errors: str = "strict") -> Iterator[str]:
    """Each file (or standard input) as one document, or each of its lines with --lines."""
    for path in paths or ["-"]:
        name, raw = read_input(path)
        if lines:
            start = 0  # of the line in raw
            for number, line in enumerate(split_lines(raw), 1):
                yield decode(line, name, errors, start, number)
                start = raw.find(b"\n", start + len(line)) + 1
        else:
            yield decode(raw, name, errors)


# Ids written as text this many at a time: the output's memory does not grow
# with a document's length.
_TEXT_CHUNK = 1 << 20


def _write_text(out, ids) -> None:
    """One document's ids as one line, written a chunk at a time."""
    for start in range(0, len(ids), _TEXT_CHUNK):
        if start:
            out.write(b" ")
        out.write(ids_text(ids[start : start + _TEXT_CHUNK]))
    out.write(b"\n")


def _batches(docs: Iterator[str], size: int = 1 << 20) -> Iterator[list[str]]:
    """The documents in lists of about `size` characters (a longer document alone)."""
    batch: list[str] = []
    length = 0
    for text in docs:
        batch.append(text)
        length += len(text)
        if length >= size:
            yield batch
            batch, length = [], 0
    if batch:
        yield batch


def run(args: argparse.Namespace) -> int:
    refuse_model_as_output(args.output, args.model, "-o")
    tok = load_tokenizer(args.model)
    docs = documents(args.files, args.lines, args.errors)
    single = ""  # the one document of --format npy and bin
    if args.format != "text":
        first = next(docs, None)
        count = (first is not None) + sum(1 for _ in docs)
        if first is None or count != 1:
            raise ToolError(
                f"--format {args.format} holds exactly one document, and the input has {count}"
                " (use --format text, or encode one file without --lines)"
            )
        single = first
        if args.output in (None, "-") and sys.stdout.isatty():
            raise ToolError(f"--format {args.format} is binary: write it with -o OUT or a redirection, not to a terminal")
    import numpy as np  # only here: it slows the start of every other command

    names = [STDIN_NAME if path == "-" else path for path in args.files or ["-"]]
    source = names[0] if len(names) == 1 else f"{names[0]} and the other inputs"
    unknown = UnknownClusters()

    def count_unknown(texts: list[str]) -> None:
        unknown.add(missing_clusters(tok, texts))
        if unknown.total and args.strict_unknown:  # an -o file is not written
            unknown.report(source, strict=True)

    def encoded(text: str):
        count_unknown([text])
        with encoding_failures(args.model):
            return tok.encode_to_numpy(text, complete=args.complete)

    with output_stream(args.output) as out:
        if args.format == "text":
            # Batches on every core, each written as it is done.
            for batch in _batches(docs):
                count_unknown(batch)
                with encoding_failures(args.model):
                    ids, offsets = tok.encode_batch_to_numpy(batch, complete=args.complete)
                if len(ids) <= _TEXT_CHUNK:
                    out.write(ids_text(ids, offsets))
                else:
                    for i in range(len(batch)):
                        _write_text(out, ids[offsets[i] : offsets[i + 1]])
        elif args.format == "npy":
            np.save(out, encoded(single), allow_pickle=False)
        else:
            out.write(encoded(single).astype("<u2").tobytes())
    unknown.report(source, strict=False)  # once the output is there
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "encode", "turn texts into token ids",
        "Encode each FILE (standard input when none is given) as one document, or each "
        "line with --lines, and write the token ids: one document per line, ids separated by "
        "spaces, or for a single document a NumPy .npy (uint16) or raw little-endian uint16 file.",
        ["velkor encode model.tok story.txt > story.ids",
         "velkor encode model.tok --lines corpus.txt -o corpus.ids",
         "velkor encode model.tok story.txt --format npy -o story.npy"],
    )
    add_model_argument(parser)
    parser.add_argument("files", metavar="FILE", nargs="*", default=[], help='UTF-8 text files ("-" is standard input)')
    parser.add_argument("--lines", action="store_true", help='each line ("\\n" or "\\r\\n" ended) is a document')
    parser.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    parser.add_argument("--format", choices=["text", "npy", "bin"], default="text", help="output format (default: text)")
    add_errors_option(parser)
    add_strict_unknown_option(parser)
    add_complete_option(parser)
    parser.set_defaults(run=run)
