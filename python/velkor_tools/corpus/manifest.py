"""The inputs of an encode-corpus job and the manifest of a finished run."""

from __future__ import annotations

import json
import os
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velkor_tools.corpus import FORMAT, regular_manifest, shard_name
from velkor_tools.errors import ToolError
from velkor_tools.files import describe, names_descriptor
from velkor_tools.unknown import UnknownClusters


@dataclass(frozen=True)
class Input:
    """An input file as the run found it; a change of size or modification
    time since makes its shards stale."""

    given: str
    path: str  # absolute
    size: int
    mtime_ns: int
    jsonl: bool


def check_inputs(paths: list[str]) -> list[Input]:
    """Each path as an Input, once it is known to be a regular file that opens."""
    found = []
    for given in paths:
        try:
            # stat before open: opening a FIFO with no writer would wait for ever
            if not stat.S_ISREG(os.stat(given).st_mode):
                raise ToolError(f"{given}: not a regular file")
            if names_descriptor(given):
                # The workers open each input by name, and a descriptor's name is theirs.
                raise ToolError(f"{given}: names a descriptor, which the workers do not share; give the file's name")
            with open(given, "rb") as file:
                status = os.fstat(file.fileno())
        except OSError as error:
            raise ToolError(f"{given}: {describe(error)}") from None
        found.append(
            Input(given, os.path.abspath(given), status.st_size, status.st_mtime_ns, given.endswith(".jsonl"))
        )
    return found


def _first_examples(records: list[dict[str, Any]]) -> dict[str, int]:
    """The first few clusters the model lacks, in input order, with their counts in those shards."""
    unknown = UnknownClusters()
    for record in records:
        unknown.add(record.get("unknown_examples", {}))
    return unknown.examples


def build_manifest(
    model_sha256: str, inputs: list[Input], settings: dict[str, Any], records: list[dict[str, Any]]
) -> dict[str, Any]:
    shards = [
        {"name": shard_name(record["index"])}
        # unknown_examples too: a run again that keeps the shard keeps its examples
        | {key: value for key, value in record.items() if key != "index"}
        for record in records
    ]
    return {
        "format": FORMAT,
        "model_sha256": model_sha256,
        "ids": "little-endian uint16",
        "offsets": "little-endian uint64, one per document plus a final one",
        **settings,
        "inputs": [
            {"path": item.given, "size": item.size, "mtime_ns": item.mtime_ns, "format": "jsonl" if item.jsonl else "text"}
            for item in inputs
        ],
        "shards": shards,
        "documents": sum(record["documents"] for record in records),
        "tokens": sum(record["tokens"] for record in records),
        "bytes": sum(item.size for item in inputs),
        "replaced_lines": sum(record["replaced_lines"] for record in records),
        "skipped_lines": sum(record.get("skipped_lines", 0) for record in records),
        "unknown_clusters": sum(record.get("unknown_clusters", 0) for record in records),
        "unknown_examples": _first_examples(records),
    }


def finished_manifest(path: Path) -> dict[str, Any] | None:
    """The manifest of a finished run in the directory, or None if there is none."""
    try:
        regular_manifest(path)
        manifest = json.loads(path.read_bytes())
    except FileNotFoundError:
        return None
    except (OSError, ValueError, RecursionError):
        manifest = None
    if (not isinstance(manifest, dict) or not isinstance(manifest.get("shards"), list)
            or not isinstance(manifest.get("inputs", []), list)):
        raise ToolError(f"{path}: not a manifest of encode-corpus; remove it, or use another directory")
    return manifest


def kept_records(manifest: dict[str, Any], inputs: list[Input]) -> list[dict[str, Any]]:
    """The shards of a finished run whose input has not changed since (same
    size and modification time), as journal records, to be checked again."""
    unchanged = {
        number for number, (old, new) in enumerate(zip(manifest.get("inputs", []), inputs))
        if isinstance(old, dict) and (old.get("size"), old.get("mtime_ns")) == (new.size, new.mtime_ns)
    }
    records = []
    for shard in manifest["shards"]:
        # type(): a damaged "input" (a list, say) cannot be looked up in a set
        if isinstance(shard, dict) and type(shard.get("input")) is int and shard["input"] in unchanged:
            name = str(shard.get("name", ""))
            if name.startswith("shard-") and name[6:].isdigit():
                records.append({"index": int(name[6:])} | {k: v for k, v in shard.items() if k != "name"})
    return records


def what_differs(earlier: dict[str, Any], now: dict[str, Any], keys: tuple[str, ...]) -> list[str]:
    """What an earlier run of a directory was made with, where this run differs, in words."""
    words = []
    for key in keys:
        value = earlier.get(key)
        if value == now.get(key):
            continue
        if key == "model_sha256":
            words.append("another model")
        elif key == "encoding":
            words.append(f"the {value} encoding")
        elif key == "inputs":
            words.append("other input files")
        else:
            words.append(f"{key.replace('_', ' ')} {value!r}")
    return words
