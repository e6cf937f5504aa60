"""`velkor verify DIR`: checks an encoded corpus against its manifest."""

from __future__ import annotations

import argparse

from velkor_tools.cli.common import add_command, plural
from velkor_tools.files import output_stream


def run(args: argparse.Namespace) -> int:
    from velkor_tools.corpus import open_shards  # here: NumPy slows the start of every command

    corpus = open_shards(args.directory)
    corpus.verify()
    shards = len(corpus.shards)
    with output_stream(None):  # a failed write names standard output
        print(f"{args.directory}: {plural(shards, 'shard')} {'matches' if shards == 1 else 'match'} the manifest, "
              f"{plural(len(corpus), 'document')}")
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "verify", "check an encoded corpus against its manifest",
        "Check that every shard of DIR (written by encode-corpus) still has the sha256 its "
        "manifest records and offsets that fit its ids.",
        ["velkor encode-corpus model.tok corpus.txt -o corpus-ids && velkor verify corpus-ids"],
    )
    parser.add_argument("directory", metavar="DIR", help="a folder written by encode-corpus")
    parser.set_defaults(run=run)
