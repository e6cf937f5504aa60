"""`velkor info MODEL`: what a tokenizer file holds."""

from __future__ import annotations

import argparse
import codecs
import hashlib
import json
import sys

from velkor_tools.cli.common import add_command, add_model_argument
from velkor_tools.files import output_stream
from velkor_tools.model import load_model, read_model
from velkor_tools.unknown import shortened

SHOWN = 10


def token_text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def summary(path: str) -> dict[str, object]:
    """Counts, size, sha256, longest tokens and most recent merges of the file at path."""
    data, model = read_model(path)
    load_model(path, data)  # the module's own check of the file
    longest = sorted(model.lookup.items(), key=lambda item: (-len(token_text(item[1])), item[0]))[:SHOWN]
    # Training numbers new tokens upwards, so the highest merged ids are the most recent.
    recent = [
        {"id": merged, "left": left, "right": right, "text": token_text(model.lookup.get(merged, b""))}
        for (left, right), merged in sorted(model.merges.items(), key=lambda item: -item[1])[:SHOWN]
    ]
    return {
        "path": path,
        "tokens": len(model.lookup),
        "merges": len(model.merges),
        "clusters": model.clusters,
        "bytes": len(data),
        "sha256": hashlib.sha256(data).hexdigest(),
        "longest_tokens": [{"id": i, "text": token_text(raw)} for i, raw in longest],
        "recent_merges": recent,
    }


def run(args: argparse.Namespace) -> int:
    info = summary(args.model)
    with output_stream(None):  # a failed write names standard output
        _print(info, args.json)
    return 0


def _print(info: dict[str, object], as_json: bool) -> None:
    if as_json:
        # On a terminal every non-ASCII character is escaped: a token may hold
        # C1 controls or bidirectional marks that a terminal would act on. So
        # it is when standard output's encoding is not UTF-8 (an ASCII locale),
        # which would escape them in a form JSON does not read.
        utf8 = codecs.lookup(getattr(sys.stdout, "encoding", None) or "utf-8").name == "utf-8"
        json.dump(info, sys.stdout, ensure_ascii=sys.stdout.isatty() or not utf8)
        print()
        return
    print(f"{info['path']}")
    print(f"  tokens    {info['tokens']}")
    print(f"  merges    {info['merges']}")
    print(f"  clusters  {info['clusters']}")
    print(f"  size      {info['bytes']} bytes")
    print(f"  sha256    {info['sha256']}")
    print("longest tokens:")
    for entry in info["longest_tokens"]:  # type: ignore[attr-defined]
        print(f"  {entry['id']:>5}  {shortened(entry['text'], 80)}")
    print("most recent merges:" if info["recent_merges"] else "most recent merges: none")
    for entry in info["recent_merges"]:  # type: ignore[attr-defined]
        print(f"  {entry['id']:>5} = {entry['left']} + {entry['right']}  {shortened(entry['text'], 80)}")


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "info", "describe a tokenizer file",
        "Print the number of tokens, merges and cluster texts of MODEL (the reserved "
        '"oov" entry is not counted as a cluster), its size and sha256, its longest tokens and '
        "its most recent merges.",
        ["velkor info model.tok", "velkor info model.tok --json > model-info.json"],
    )
    add_model_argument(parser)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead")
    parser.set_defaults(run=run)
