"""`velkor train MODEL CORPUS...`: grow a model on text files, with progress
(velkor_tools.training does the work)."""

from __future__ import annotations

import argparse
import signal
import sys

from velkor_tools.cli.common import add_command, plural
from velkor_tools.files import output_stream
from velkor_tools.training.run import run_training
from velkor_tools.utf8 import add_errors_option


def run(args: argparse.Namespace) -> int:
    # SIGTERM and SIGHUP (a closed terminal) end the command like Ctrl-C does: the child
    # stops, MODEL keeps the last chunk, the private files go.
    for ending in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(ending, lambda number, _: sys.exit(128 + number))
    result = run_training(args.model, args.corpus, args.log, args.verbose, args.errors, args.vocab_size)
    rate = result.corpus_bytes / 1e6 / result.seconds if result.seconds > 0 else 0.0
    replaced = f", {plural(result.replaced_bytes, 'byte')} replaced by U+FFFD" if result.replaced_bytes else ""
    with output_stream(None):  # a failed write names standard output
        print(
            f"{args.model}: {plural(result.tokens, 'token')}, {plural(result.merges, 'merge')}, "
            f"{plural(result.clusters, 'cluster')}, "
            f"{result.seconds:.1f} s, {rate:.2f} MB/s{replaced}"
        )
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "train", "grow a model on text files",
        "Train MODEL on each CORPUS file in order (starting from the starter model when "
        "MODEL does not exist) and leave the result at MODEL, replaced atomically after every "
        "chunk of 3,067,833 bytes. Progress goes to standard error.",
        ["velkor train model.tok books.txt news.txt --log merges.log"],
    )
    parser.add_argument("model", metavar="MODEL", help="tokenizer file to grow (created if missing)")
    parser.add_argument("corpus", metavar="CORPUS", nargs="+", help="plain-text training files")
    parser.add_argument("--log", metavar="FILE", help="keep the merge log (one record per new merge) in FILE")
    parser.add_argument("--verbose", action="store_true", help="show the module's own console lines instead of the progress display")
    parser.add_argument(
        "--vocab-size", type=int, metavar="N",
        help="train in passes over all files until MODEL holds N tokens (or a pass adds none), "
        "then drop merged tokens, highest id first, to exactly N, numbered 0 to N-1",
    )
    add_errors_option(parser, default="replace")
    parser.set_defaults(run=run)
