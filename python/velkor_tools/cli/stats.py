"""`velkor stats MODEL FILE...`: how well a model compresses each file."""

from __future__ import annotations

import argparse
import json
from typing import Any

from velkor_tools.cli.common import add_command, add_model_argument, encoding_failures
from velkor_tools.cli.encode import documents
from velkor_tools.files import output_stream
from velkor_tools.model import load_tokenizer
from velkor_tools.utf8 import add_errors_option

_COUNTS = ("bytes", "clusters", "unknown_clusters", "tokens", "tokens_complete")


def _ratio(numerator: int, denominator: int) -> float:
    return round(numerator / denominator, 4) if denominator else 0.0


def _with_ratios(counts: dict[str, Any]) -> dict[str, Any]:
    counts["bytes_per_token"] = _ratio(counts["bytes"], counts["tokens"])
    counts["bytes_per_token_complete"] = _ratio(counts["bytes"], counts["tokens_complete"])
    return counts


def file_stats(tok: Any, path: str, lines: bool, errors: str) -> dict[str, Any]:
    """The counts of one file, each document encoded on its own under both encodings."""
    counts = dict.fromkeys(_COUNTS, 0)
    for text in documents([path], lines, errors):
        counts["bytes"] += len(text.encode("utf-8", "surrogatepass"))
        counts["clusters"] += tok.count_clusters(text)
        counts["unknown_clusters"] += sum(tok.unknown_clusters(text).values())
        counts["tokens"] += len(tok.encode_to_numpy(text))
        counts["tokens_complete"] += len(tok.encode_to_numpy(text, complete=True))
    return _with_ratios({"path": path, **counts})


def run(args: argparse.Namespace) -> int:
    tok = load_tokenizer(args.model)
    with encoding_failures(args.model):
        files = [file_stats(tok, path, args.lines, args.errors) for path in args.files]
    total = _with_ratios({key: sum(f[key] for f in files) for key in _COUNTS})
    with output_stream(None):  # a failed write names standard output
        _print(files, total, args.json)
    return 0


def _print(files: list[dict[str, Any]], total: dict[str, Any], as_json: bool) -> None:
    if as_json:
        print(json.dumps({"files": files, "total": total}))
        return
    header = f"{'bytes':>12} {'clusters':>11} {'unknown':>8} {'tokens':>11} {'B/token':>7} {'complete':>11} {'B/token':>7}  file"
    print(header)
    for row in [*files, {**total, "path": "total"}]:
        print(
            f"{row['bytes']:>12} {row['clusters']:>11} {row['unknown_clusters']:>8} {row['tokens']:>11} "
            f"{row['bytes_per_token']:>7.2f} {row['tokens_complete']:>11} "
            f"{row['bytes_per_token_complete']:>7.2f}  {row['path']}"
        )


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "stats", "count bytes, clusters and tokens of files",
        "Encode each FILE as one text (each line with --lines) under the standard and the complete "
        "encoding and report bytes, grapheme clusters, clusters the model does not know (they "
        "decode to nothing), tokens and bytes per token, per file and in total.",
        ["velkor stats model.tok story.txt", "velkor stats model.tok --lines --json story.txt"],
    )
    add_model_argument(parser)
    parser.add_argument("files", metavar="FILE", nargs="+", help='UTF-8 text files ("-" is standard input)')
    parser.add_argument("--lines", action="store_true", help='each line ("\\n" or "\\r\\n" ended) is a document')
    parser.add_argument("--json", action="store_true", help="one JSON object instead of a table")
    add_errors_option(parser)
    parser.set_defaults(run=run)
