"""An encoded corpus on disk, and its reader.

A corpus directory holds shards `shard-NNNNN.bin` (little-endian uint16 ids
of consecutive documents) with `shard-NNNNN.idx` beside each (little-endian
uint64 token offsets, one per document plus a final one), and
`manifest.json`, written last. `open_shards(DIR)` gives every document's ids
as a NumPy view over the memory-mapped shards.

`velkor encode-corpus` writes such a directory (velkor_tools.corpus.run).
"""

from __future__ import annotations

import bisect
import hashlib
import json
import operator
import re
import stat
from collections.abc import Iterator
from pathlib import Path
from typing import Any, overload

import numpy as np

from velkor_tools.errors import ToolError

MANIFEST = "manifest.json"
JOURNAL = ".journal"  # records of the finished shards of a run in progress
FORMAT = "velkor-corpus-1"
ID_DTYPE = np.dtype("<u2")
OFFSET_DTYPE = np.dtype("<u8")


def shard_name(index: int) -> str:
    return f"shard-{index:05d}"


SHARD_FILE = re.compile(r"shard-([0-9]{5}|[1-9][0-9]{5,})\.(?:bin|idx)")  # a file of shard_name(group 1)


def shard_paths(directory: Path, index: int) -> tuple[Path, Path]:
    """The ids file and the offsets file of shard `index`."""
    name = shard_name(index)
    return directory / f"{name}.bin", directory / f"{name}.idx"


def shard_in_place(directory: Path, index: int, counts: dict[str, Any]) -> bool:
    """Whether shard `index` has both its files, regular (a FIFO would be read
    without end) and of the sizes its counts of tokens and documents give."""
    sizes = (ID_DTYPE.itemsize * counts["tokens"], OFFSET_DTYPE.itemsize * (counts["documents"] + 1))
    try:
        for path, size in zip(shard_paths(directory, index), sizes):
            status = path.stat()
            if not stat.S_ISREG(status.st_mode) or status.st_size != size:
                return False
    except OSError:
        return False
    return True


def file_sha256(path: Path) -> str:
    """The sha256 of the file at path, read a block at a time."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while block := file.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def _mapped(path: Path, dtype: np.dtype, count: int) -> np.ndarray:
    status = path.stat()
    if not stat.S_ISREG(status.st_mode):  # a FIFO or a device would be read without end
        raise ToolError(f"{path}: not a regular file; the shard is damaged")
    if status.st_size != count * dtype.itemsize:
        raise ToolError(f"{path}: size does not match {MANIFEST}")
    if count == 0:  # an empty file cannot be mapped
        empty = np.empty(0, dtype)
        empty.flags.writeable = False  # read-only like the mapped ones
        return empty
    return np.memmap(path, dtype=dtype, mode="r")


def _well_formed(manifest: Any) -> bool:
    """Whether a parsed manifest has the shard counts a reader relies on, and
    totals that agree with them (a shard list cut short does not)."""
    if not isinstance(manifest, dict) or not isinstance(manifest.get("shards"), list):
        return False
    if manifest.get("format") != FORMAT:
        return False
    shards = manifest["shards"]
    if not all(
        isinstance(shard, dict)
        and all(type(shard.get(key)) is int and shard[key] >= 0 for key in ("documents", "tokens"))
        for shard in shards
    ):
        return False
    return all(manifest.get(key) == sum(shard[key] for shard in shards) for key in ("documents", "tokens"))


def regular_manifest(path: Path) -> bool:
    """Whether the manifest at path is a regular file (False if it is missing);
    anything else (a FIFO, a device) is refused before it is read."""
    try:
        mode = path.stat().st_mode
    except FileNotFoundError:
        return False
    if not stat.S_ISREG(mode):
        raise ToolError(f"{path}: not a regular file; not a manifest of encode-corpus")
    return True


class Shards:
    """The documents of a finished corpus directory, in input order.

    `corpus[k]` is document k's ids (a read-only uint16 view, no copy), and
    `corpus[i:j]` a list of such views;
    `len(corpus)` is the number of documents; `corpus.shards` lists each
    shard's (ids, offsets) arrays; `corpus.manifest` is the parsed manifest.
    """

    def __init__(self, directory: str | Path) -> None:
        directory = Path(directory)
        try:
            regular_manifest(directory / MANIFEST)
            manifest = json.loads((directory / MANIFEST).read_text("utf-8"))
        except FileNotFoundError:
            raise ToolError(f"{directory}: no {MANIFEST} (not a finished corpus)") from None
        except (ValueError, RecursionError):  # not JSON, or not UTF-8
            manifest = None
        if not _well_formed(manifest):
            raise ToolError(f"{directory / MANIFEST}: not a manifest of encode-corpus; the corpus is damaged")
        self.manifest: dict[str, Any] = manifest
        self.shards: list[tuple[np.ndarray, np.ndarray]] = []
        self._first: list[int] = []  # first document of each shard
        documents = 0
        self.directory = directory
        self._absolute = directory.absolute()  # the same corpus wherever it is unpickled
        for index, shard in enumerate(self.manifest["shards"]):
            ids_path, idx_path = shard_paths(directory, index)
            offsets = _mapped(idx_path, OFFSET_DTYPE, shard["documents"] + 1)
            # offsets must start at 0, never fall, and end at the last id: else
            # documents would be cut short or come out empty without a word
            if offsets[0] != 0 or offsets[-1] != shard["tokens"] or np.any(offsets[1:] < offsets[:-1]):
                raise ToolError(f"{idx_path}: the offsets do not fit {ids_path.name}; the shard is damaged")
            self.shards.append((_mapped(ids_path, ID_DTYPE, shard["tokens"]), offsets))
            self._first.append(documents)
            documents += shard["documents"]
        self._documents = documents

    def __len__(self) -> int:
        return self._documents

    def __reduce__(self) -> tuple[Any, ...]:
        # Opened again where unpickled (a data loader's workers), not copied: the
        # shards stay on disk, mapped read-only.
        return (Shards, (str(self._absolute),))

    def verify(self) -> None:
        """Checks every shard file against the sha256 the manifest records;
        a ToolError names the first that differs."""
        for index, shard in enumerate(self.manifest["shards"]):
            # the absolute path: the corpus opened by a relative one is still this one after a chdir
            for path, key in zip(shard_paths(self._absolute, index), ("ids_sha256", "idx_sha256")):
                if file_sha256(path) != shard.get(key):
                    raise ToolError(f"{path}: does not match the sha256 in {MANIFEST}; the shard is damaged")

    @overload
    def __getitem__(self, document: int) -> np.ndarray: ...
    @overload
    def __getitem__(self, document: slice) -> list[np.ndarray]: ...

    def __getitem__(self, document: int | slice) -> np.ndarray | list[np.ndarray]:
        if isinstance(document, slice):  # a list of views, as a list's slice is
            return [self[k] for k in range(*document.indices(self._documents))]
        document = operator.index(document)
        if document < 0:
            document += self._documents
        if not 0 <= document < self._documents:
            raise IndexError("document index out of range")
        shard = bisect.bisect_right(self._first, document) - 1
        ids, offsets = self.shards[shard]
        local = document - self._first[shard]
        return ids[int(offsets[local]) : int(offsets[local + 1])]

    def __iter__(self) -> Iterator[np.ndarray]:
        for ids, offsets in self.shards:
            for local in range(len(offsets) - 1):
                yield ids[int(offsets[local]) : int(offsets[local + 1])]


def open_shards(directory: str | Path) -> Shards:
    """The documents of the corpus in `directory` (see Shards)."""
    return Shards(directory)
