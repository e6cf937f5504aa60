"""The journal of an encode-corpus run in progress.

It lies in the output directory as `.journal`: a header naming the job
(model sha256, inputs with size and modification time, settings), then one
line per finished shard, once its files are synced, with its counts and the
sha256 of its two files. A shard is reused only while both its files still
hash to the recorded values.
"""

from __future__ import annotations

import json
import os
import re
from pathlib import Path
from typing import Any

from velkor_tools.corpus import JOURNAL, file_sha256, shard_in_place, shard_paths
from velkor_tools.corpus.manifest import what_differs
from velkor_tools.corpus.task import Task
from velkor_tools.errors import ToolError
from velkor_tools.files import describe, write_atomically


def _file_sha256(path: Path) -> str | None:
    try:
        return file_sha256(path)
    except OSError:
        return None


def _sync(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


# The names of the files this job makes under temporary names: a shard's
# (task.py's _HashedFile) and atomic_output's.
TEMPORARY_NAME = re.compile(r"\.shard-\d+\.(bin|idx)\.tmp-\w+|\.velkor-[0-9a-f]{12}\.tmp")


def is_temporary(name: str) -> bool:
    """A name of a shard's or of atomic_output's file in the making."""
    return TEMPORARY_NAME.fullmatch(name) is not None


class Journal:
    """The finished shards of the run in progress, one JSON line each."""

    def __init__(self, directory: Path, header: dict[str, Any]) -> None:
        self.path = directory / JOURNAL
        self.header = header
        self.descriptor: int | None = None

    def read(self) -> list[dict[str, Any]] | None:
        """The records of an earlier run of this job; None if there was none."""
        try:
            lines = self.path.read_text("utf-8").splitlines()
        except FileNotFoundError:
            return None
        except (OSError, UnicodeDecodeError) as error:
            detail = describe(error) if isinstance(error, OSError) else "not a journal of encode-corpus"
            raise ToolError(f"{self.path}: {detail}; remove it to start afresh") from None
        try:
            header = json.loads(lines[0])
        except (IndexError, ValueError, RecursionError):
            header = None
        if not isinstance(header, dict):
            raise ToolError(f"{self.path}: not a journal of encode-corpus (damaged); remove it to start afresh")
        header.setdefault("encoding", "standard")  # written before the choice existed
        records = []
        for line in lines[1:]:
            try:
                record = json.loads(line)
            except (ValueError, RecursionError):  # torn by a kill mid-write: the shard is redone
                continue
            if isinstance(record, dict):
                records.append(record)
        if header == self.header:
            return records
        unchanged = self._unchanged_inputs(header)
        if unchanged is not None:  # inputs edited since: their shards are redone, the others kept
            return [record for record in records if record.get("input") in unchanged]
        keys = tuple(key for key in self.header if key != "shards")  # shards follow from the rest
        differs = what_differs(header, self.header, keys)
        raise ToolError(
            f"{self.path.parent}: holds an unfinished run made with "
            f"{', '.join(differs) or 'other inputs or settings'}; "
            "run again with the same settings, or use another directory"
        )

    def _unchanged_inputs(self, header: dict[str, Any]) -> set[int] | None:
        """When header names this job but some of its inputs have changed
        since (size or modification time), the numbers of those that have not;
        else None."""
        settings = [key for key in self.header if key not in ("inputs", "shards")]
        old, new = header.get("inputs"), self.header["inputs"]
        if any(header.get(key) != self.header[key] for key in settings) or not isinstance(old, list):
            return None
        if [entry[0] if isinstance(entry, list) and entry else None for entry in old] != [entry[0] for entry in new]:
            return None
        return {number for number, (was, now) in enumerate(zip(old, new)) if was == now}

    def start(self, records: list[dict[str, Any]]) -> None:
        """Rewrites the journal with the records kept, then opens it for appending."""
        lines = [json.dumps(self.header)] + [json.dumps(record) for record in records]
        write_atomically(str(self.path), "".join(line + "\n" for line in lines).encode("utf-8"))
        self.descriptor = os.open(self.path, os.O_WRONLY | os.O_APPEND)

    def append(self, record: dict[str, Any]) -> None:
        """Records a finished shard, once its files are on disk."""
        assert self.descriptor is not None
        for path in shard_paths(self.path.parent, record["index"]):
            _sync(path)
        os.write(self.descriptor, (json.dumps(record) + "\n").encode())
        os.fsync(self.descriptor)

    def close(self) -> None:
        if self.descriptor is not None:
            os.close(self.descriptor)
            self.descriptor = None


# A record's counts, each a whole number; the optional ones count 0 when missing.
_COUNTS = ("documents", "tokens", "replaced_lines")
_OPTIONAL_COUNTS = ("skipped_lines", "unknown_clusters")


def still_valid(record: dict[str, Any], task: Task, directory: Path, errors: str) -> bool:
    # Inputs come and go in size between runs, so a shard number may now
    # belong to another input whose byte range happens to be the same.
    if (record.get("input"), record.get("start"), record.get("end")) != (task.input_index, task.start, task.end):
        return False
    if errors == "strict" and (record.get("replaced_lines") or record.get("skipped_lines")):
        return False  # made under --errors replace: strict must stop at its line
    counts = [record.get(key) for key in _COUNTS] + [record.get(key, 0) for key in _OPTIONAL_COUNTS]
    if not all(type(count) is int and count >= 0 for count in counts):
        return False
    if not shard_in_place(directory, task.index, record):  # what the counts say, not only hash as recorded
        return False
    ids_path, idx_path = shard_paths(directory, task.index)
    return _file_sha256(ids_path) == record.get("ids_sha256") and _file_sha256(idx_path) == record.get(
        "idx_sha256"
    )
