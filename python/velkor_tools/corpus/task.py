"""Corpus tasks: input cut into byte ranges on line boundaries, and the worker
that encodes one range into one shard.

A task is planned from the input's bytes and the shard size alone, never from
the number of workers, so the shards are the same however the job runs. The
worker reads its range in blocks of whole lines and writes each block's ids
and offsets before reading on: its memory is one block (or the longest line)
with its documents' ids and offsets, not the shard.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import time
import uuid
from collections.abc import Buffer, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from distributed import WorkerPlugin, get_worker

from velkor_tools.corpus import ID_DTYPE, OFFSET_DTYPE, shard_paths
from velkor_tools.files import split_lines
from velkor_tools.tokenizer import Tokenizer
from velkor_tools.unknown import UnknownClusters, missing_clusters

BLOCK = 1 << 18  # bytes read, and their ids written, at a time
LONE_SURROGATE = re.compile("[\ud800-\udfff]")  # json.loads has joined the valid pairs


@dataclass(frozen=True)
class Task:
    """Shard `index`: lines of `path` in the byte range [start, end)."""

    index: int
    input_index: int
    path: str  # absolute
    start: int
    end: int
    jsonl: bool
    text_field: str
    errors: str  # "strict" or "replace"
    out_dir: str  # absolute
    model_sha256: str
    complete: bool = False  # the complete encoding, not Data.encode's


def plan_file(path: str, size: int, shard_bytes: int) -> list[tuple[int, int]]:
    """Byte ranges of about shard_bytes each, every one ending just after a
    line feed or at the end of the file."""
    ranges = []
    with open(path, "rb") as file:
        start = 0
        while start < size:
            end = _line_end_from(file, max(start, start + shard_bytes - 1), size)
            ranges.append((start, end))
            start = end
    return ranges


def _line_end_from(file: BinaryIO, position: int, size: int) -> int:
    """Offset just after the first line feed at or after position, else size."""
    file.seek(position)
    while position < size:
        block = file.read(min(1 << 16, size - position))
        if not block:
            break
        found = block.find(b"\n")
        if found >= 0:
            return position + found + 1
        position += len(block)
    return size


def line_blocks(file: BinaryIO, start: int, end: int, block_size: int = BLOCK) -> Iterator[bytes]:
    """[start, end) in pieces of whole lines, about block_size bytes each: every
    piece ends just after a line feed, except the file's last line if it has none."""
    file.seek(start)
    position = start
    pieces: list[bytes] = []
    while position < end:
        block = file.read(min(block_size, end - position))
        if not block:
            raise OSError(f"{file.name}: file shrank while being read")
        position += len(block)
        cut = block.rfind(b"\n") + 1
        if not cut:
            pieces.append(block)  # a long line: joined once, when it ends
            continue
        pieces.append(block[:cut] if cut < len(block) else block)
        yield b"".join(pieces)
        pieces = [block[cut:]] if cut < len(block) else []
    last = b"".join(pieces)
    if last:
        yield last


class BadLine(ValueError):
    """A line that is not a document under --errors strict; offset is the
    input's byte where its UTF-8 goes wrong, if that is the problem."""

    def __init__(self, reason: str, offset: int | None = None) -> None:
        super().__init__(reason)
        self.offset = offset


def _parsed(text: str) -> Any:
    """A JSONL line parsed; its integers are floats, since only the text
    field is kept and int() refuses numbers of more than 4300 digits."""
    return json.loads(text, parse_int=float)


def _json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "an array", str: "a string", bool: "a boolean", type(None): "null"}
    return kinds.get(type(value), "a number")


def _not_a_document(text: str, field: str) -> str | None:
    """What keeps a JSONL line's text from being a document, or None."""
    try:
        record: Any = _parsed(text)
    except ValueError as error:
        return f"not valid JSON ({getattr(error, 'msg', error)} at column {getattr(error, 'colno', 1)})"
    except RecursionError:
        return "not valid JSON (nested too deeply)"
    if not isinstance(record, dict):
        return f"{_json_kind(record)} where a JSON object with a string field {field!r} belongs"
    if field not in record:
        return f"the JSON object has no field {field!r}"
    if not isinstance(record[field], str):
        return f"field {field!r} holds {_json_kind(record[field])}, not a string"
    return None


def _document(line: bytes, task: Task, offset: int) -> tuple[str, bool, bool]:
    """The document text of one line that starts at byte `offset` of the
    input, whether anything was replaced, and whether the line was skipped
    (a JSONL line that is no document becomes an empty one under replace)."""
    replaced = False
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as error:
        if task.errors == "strict":
            raise BadLine("invalid UTF-8", offset + error.start) from None
        text = line.decode("utf-8", "replace")
        replaced = True
    if task.jsonl and offset == 0 and text.startswith("\ufeff"):
        text = text[1:]  # a byte-order mark, which JSON readers skip
    if task.jsonl and text:
        problem = _not_a_document(text, task.text_field)
        if problem is not None:
            if task.errors == "strict":
                raise BadLine(problem)
            return "", replaced, True
        text = _parsed(text)[task.text_field]
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate written as an escape
            if task.errors == "strict":
                raise BadLine(f"field {task.text_field!r} holds a lone surrogate") from None
            text = LONE_SURROGATE.sub("\ufffd", text)
            replaced = True
    return text, replaced, False


# This worker process's models by sha256, each with the native threads a
# batch of it may use.
_models: dict[str, tuple[Tokenizer, int]] = {}


def plugin_name(sha256: str) -> str:
    return f"velkor-model-{sha256}"


# How long a task waits for the model plugin of a worker that has just
# joined (one restarted after a crash can be handed a task first).
PLUGIN_WAIT_SECONDS = 30


def _model(sha256: str) -> tuple[Tokenizer, int]:
    """This worker's model by sha256, set up from its plugin if need be."""
    deadline = time.monotonic() + PLUGIN_WAIT_SECONDS
    while (loaded := _models.get(sha256)) is None:
        try:
            plugin = get_worker().plugins.get(plugin_name(sha256))
        except ValueError:  # not running on a worker
            plugin = None
        if isinstance(plugin, ModelPlugin):
            plugin.setup(None)
        elif time.monotonic() > deadline:
            raise RuntimeError("the model plugin was not set up on this worker")
        else:
            time.sleep(0.05)
    return loaded


class ModelPlugin(WorkerPlugin):
    """Carries a model's bytes to every worker, also to those that join or
    restart later, which loads it once.

    The bytes go through the scheduler, so workers need no shared path for
    the model, and every worker uses exactly the model the manifest names.
    `threads` is how many native threads each task's batches use (so that
    workers times threads does not oversubscribe the machine).
    """

    def __init__(self, image: bytes, threads: int = 1) -> None:
        self.image = image
        self.threads = max(1, threads)
        self.sha256 = hashlib.sha256(image).hexdigest()
        self.name = plugin_name(self.sha256)  # registering it again replaces it

    def setup(self, worker: object) -> None:
        if self.sha256 not in _models:
            _models[self.sha256] = (Tokenizer.from_bytes(self.image), self.threads)


class _HashedFile:
    """A new file written under a temporary name, hashed as it is written."""

    def __init__(self, final: Path) -> None:
        self.final = final
        self.temporary = final.with_name(f".{final.name}.tmp-{uuid.uuid4().hex}")
        self.file = open(self.temporary, "xb")
        self.hash = hashlib.sha256()

    def write(self, data: Buffer) -> None:
        self.file.write(data)
        self.hash.update(data)

    def finish(self) -> str:
        """Renames the file to its final name; returns its sha256. The file is
        not synced here: the client syncs it before journaling it, while this
        worker goes on with its next task."""
        self.file.close()
        os.replace(self.temporary, self.final)
        return self.hash.hexdigest()

    def discard(self) -> None:
        try:
            self.file.close()  # may fail again as the write did (a full disk)
        finally:
            self.temporary.unlink(missing_ok=True)


def _documents(
    block: bytes, first: int, offset: int, task: Task
) -> tuple[list[str], int, int] | dict[str, Any]:
    """The documents of a piece of whole lines whose first line is line `first`
    of the task and starts at byte `offset` of the input, how many of them
    had bytes replaced and how many were skipped; or the task's result for a
    line refused under strict."""
    if not task.jsonl:
        try:
            return split_lines(block.decode("utf-8")), 0, 0  # the common case, decoded at once
        except UnicodeDecodeError:
            pass
    documents = []
    replaced_lines = skipped_lines = 0
    start = 0  # of the line in block
    for number, line in enumerate(split_lines(block), first):
        try:
            text, replaced, skipped = _document(line, task, offset + start)
        except BadLine as error:
            return {"index": task.index, "bad_line": number, "reason": str(error), "offset": error.offset}
        documents.append(text)
        replaced_lines += replaced
        skipped_lines += skipped
        start = block.find(b"\n", start + len(line)) + 1  # past a "\r" the line lost, too
    return documents, replaced_lines, skipped_lines


def encode_task(task: Task) -> dict[str, Any]:
    """Encodes the task's documents into its shard; returns the shard's record,
    or {"index", "bad_line", "reason"} for a line refused under strict."""
    model, threads = _model(task.model_sha256)
    ids_path, idx_path = shard_paths(Path(task.out_dir), task.index)
    ids_file = _HashedFile(ids_path)
    try:
        idx_file = _HashedFile(idx_path)
    except BaseException:
        ids_file.discard()
        raise
    tokens = replaced_lines = skipped_lines = seen = 0
    unknown = UnknownClusters()
    offset = task.start
    try:
        idx_file.write(np.zeros(1, OFFSET_DTYPE))
        with open(task.path, "rb") as source:
            for block in line_blocks(source, task.start, task.end, BLOCK):
                found = _documents(block, seen, offset, task)
                offset += len(block)
                if isinstance(found, dict):
                    ids_file.discard()
                    idx_file.discard()
                    return found
                documents, replaced, skipped = found
                unknown.add(missing_clusters(model, documents))
                ids, offsets = model.encode_batch_to_numpy(documents, num_threads=threads, complete=task.complete)
                ids_file.write(ids.astype(ID_DTYPE, copy=False))
                idx_file.write((offsets[1:] + tokens).astype(OFFSET_DTYPE))
                tokens += len(ids)
                seen += len(documents)
                replaced_lines += replaced
                skipped_lines += skipped
        ids_sha256 = ids_file.finish()
        idx_sha256 = idx_file.finish()
    except BaseException:
        try:
            ids_file.discard()
        finally:
            idx_file.discard()
        raise
    return {
        "index": task.index,
        "input": task.input_index,
        "start": task.start,
        "end": task.end,
        "documents": seen,
        "tokens": tokens,
        "replaced_lines": replaced_lines,
        "skipped_lines": skipped_lines,
        "unknown_clusters": unknown.total,
        "unknown_examples": unknown.examples,
        "ids_sha256": ids_sha256,
        "idx_sha256": idx_sha256,
    }
