"""`velkor encode-corpus`: a whole corpus to uint16 shards, in parallel on Dask."""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

from velkor_tools.cli.common import add_complete_option, EXIT_INTERRUPTED, add_command, add_model_argument, plural
from velkor_tools.errors import ToolError
from velkor_tools.progress import ByteProgress
from velkor_tools.unknown import UnknownClusters, add_strict_unknown_option
from velkor_tools.utf8 import add_errors_option

PLAIN_LINE_SECONDS = 5.0  # at most one progress line this often off a terminal


MAX_SHARD_MB = 1e6  # a terabyte of input per shard


def _positive(kind: Callable[[str], float], most: float = float("inf")) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            value = 0.0
        if not 0 < value <= most:  # inf and nan fail too
            limit = "" if most == float("inf") else f" up to {most:g}"
            raise argparse.ArgumentTypeError(f"expected a positive number{limit}, not {text!r}")
        return value

    return parse


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers,
        "encode-corpus",
        "encode a corpus into uint16 shards, in parallel on Dask",
        "Encode every document of the inputs into DIR: shard-NNNNN.bin (little-endian uint16 ids),\n"
        "shard-NNNNN.idx (little-endian uint64 token offsets, one per document plus a final one) and\n"
        "manifest.json. An INPUT ending in .jsonl holds one JSON object per line; any other INPUT\n"
        "holds one document per line. Running it again with the same arguments finishes an\n"
        "interrupted run.",
        [
            "velkor encode-corpus model.tok corpus.txt -o corpus-ids",
            "velkor encode-corpus model.tok web.jsonl --text-field body -o ids --scheduler tcp://head:8786",
        ],
    )
    add_model_argument(parser)
    parser.add_argument("inputs", metavar="INPUT", nargs="+", help="text or .jsonl files")
    parser.add_argument("-o", "--output", metavar="DIR", required=True, help="output directory")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers", type=_positive(int), metavar="N",
        help="worker processes of a local cluster (default: the cores this process may use)"
    )
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, such as tcp://host:8786")
    parser.add_argument("--text-field", default="text", metavar="NAME", help="field of a JSONL object (default: text)")
    parser.add_argument(
        "--shard-mb", type=_positive(float, MAX_SHARD_MB), default=64.0, metavar="M", help="input MB per shard (default: 64)"
    )
    add_errors_option(parser)
    add_strict_unknown_option(parser)
    add_complete_option(parser)
    parser.set_defaults(run=run)


@contextlib.contextmanager
def _end_like_ctrl_c() -> Iterator[list[int]]:
    """Makes SIGTERM and SIGHUP (a closed terminal) stop the run as Ctrl-C does:
    shards in progress dropped, the cluster closed, the journal kept for a
    resume. Yields the list of the signals that came; the previous handlers
    are back afterwards. Off the main thread, signals are not ours to set."""
    came: list[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield came
        return

    def end(number: int, frame: Any) -> None:
        came.append(number)
        interrupt = signal.getsignal(signal.SIGINT)
        if not callable(interrupt):  # Ctrl-C is held off while the cluster starts
            sys.exit(128 + number)
        interrupt(signal.SIGINT, frame)

    previous = {ending: signal.signal(ending, end) for ending in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield came
    finally:
        for ending, handler in previous.items():
            signal.signal(ending, handler)


def run(args: argparse.Namespace) -> int:
    with _end_like_ctrl_c() as ended_by:
        return _run(args, ended_by)


def _run(args: argparse.Namespace, ended_by: list[int]) -> int:
    try:
        import dask.distributed  # noqa: F401 - only to check that it is installed
    except ImportError:
        # The command that installs Dask itself: velkor is not on a package
        # index, so the 'corpus' extra is no name pip could fetch.
        raise ToolError("encode-corpus needs Dask: pip install 'dask[distributed]'") from None
    from velkor_tools.corpus.run import Progress, encode_corpus

    display: ByteProgress | None = None
    shown_at = 0.0

    def show(state: Progress) -> None:
        nonlocal display, shown_at
        if display is None:
            display = ByteProgress("encode-corpus", state.total_bytes, ["documents", "tokens"])
        now = time.monotonic()
        if display.live or now - shown_at >= PLAIN_LINE_SECONDS or state.done_bytes == state.total_bytes:
            shown_at = now
            display.update(state.done_bytes, documents=state.documents, tokens=state.tokens)

    try:
        manifest = encode_corpus(
            args.model,
            args.inputs,
            args.output,
            workers=args.workers,
            scheduler=args.scheduler,
            text_field=args.text_field,
            shard_bytes=max(1, round(args.shard_mb * 1e6)),
            errors=args.errors,
            complete=args.complete,
            on_progress=show,
        )
    except KeyboardInterrupt:
        status = 128 + ended_by[-1] if ended_by else EXIT_INTERRUPTED
        raise ToolError("interrupted; run the same command again to resume", status) from None
    finally:
        if display is not None:
            display.close()
    notes = ""
    if manifest["replaced_lines"]:
        notes += f", {plural(manifest['replaced_lines'], 'line')} with bytes replaced by U+FFFD"
    if manifest["skipped_lines"]:
        notes += (
            f", {plural(manifest['skipped_lines'], 'JSONL line')} without a string field "
            f"{args.text_field!r} written as empty documents"
        )
    unknown = UnknownClusters()
    unknown.total, unknown.examples = manifest.get("unknown_clusters", 0), manifest.get("unknown_examples", {})
    source = _unknown_source(manifest)
    try:
        unknown.report(source, args.strict_unknown)
    finally:
        _summary(args, manifest, notes)
    return 0


def _unknown_source(manifest: dict[str, Any]) -> str:
    """The inputs that hold clusters the model does not know, as the warning names them:
    the first of them, and how many others."""
    inputs = [item["path"] for item in manifest["inputs"]]
    holding = sorted({shard["input"] for shard in manifest["shards"] if shard.get("unknown_clusters")})
    if not holding:
        return inputs[0]
    others = len(holding) - 1
    return inputs[holding[0]] + (f" and {plural(others, 'other input')}" if others else "")


def _summary(args: argparse.Namespace, manifest: dict[str, Any], notes: str) -> None:
    print(
        f"velkor: {args.output}: {plural(manifest['documents'], 'document')}, {plural(manifest['tokens'], 'token')} "
        f"in {plural(len(manifest['shards']), 'shard')}{notes}",
        file=sys.stderr,
    )
