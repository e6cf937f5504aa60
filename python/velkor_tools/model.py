"""Tokenizer files: the starter model, loading with one-line errors, and reading the maps.

The file is little-endian with three sections, each an 8-byte entry count and
the entries: lookup (2-byte id, 8-byte length, bytes), merges (left, right and
merged id, 2 bytes each) and unicode_lookup (8-byte length, UTF-8 text, 2-byte
id). A key read twice keeps its later value; bytes after the last section are
ignored.
"""

from __future__ import annotations

import contextlib
import errno
import os
import shutil
import struct
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import velkor

from velkor_tools.errors import ToolError
from velkor_tools.files import describe, quiet_stderr
from velkor_tools.image import read_image
from velkor_tools.plain_errors import plain

if TYPE_CHECKING:
    from velkor_tools.tokenizer import Tokenizer

# id 0 is the empty token and "oov" maps to 0; nothing else.
STARTER_MODEL = (
    struct.pack("<Q", 1) + struct.pack("<HQ", 0, 0)
    + struct.pack("<Q", 0)
    + struct.pack("<Q", 1) + struct.pack("<Q", 3) + b"oov" + struct.pack("<H", 0)
)

OOV = "oov"


@dataclass
class Model:
    lookup: dict[int, bytes] = field(default_factory=dict)
    merges: dict[tuple[int, int], int] = field(default_factory=dict)
    unicode_lookup: dict[str, int] = field(default_factory=dict)

    @property
    def clusters(self) -> int:
        """Cluster texts, without the reserved "oov" entry."""
        return len(self.unicode_lookup) - (OOV in self.unicode_lookup)

    @property
    def oov_id(self) -> int | None:
        return self.unicode_lookup.get(OOV)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def take(self, fmt: str) -> tuple[int, ...]:
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise ValueError("the file ends early")
        values = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return values

    def raw(self, length: int) -> bytes:
        if self.pos + length > len(self.data):
            raise ValueError("the file ends early")
        self.pos += length
        return self.data[self.pos - length : self.pos]


def parse_model(data: bytes) -> Model:
    """The three maps of a tokenizer file; ValueError when the bytes are not one."""
    reader = _Reader(data)
    model = Model()
    (count,) = reader.take("<Q")
    for _ in range(count):
        token_id, length = reader.take("<HQ")
        model.lookup[token_id] = reader.raw(length)
    (count,) = reader.take("<Q")
    for _ in range(count):
        left, right, merged = reader.take("<HHH")
        model.merges[(left, right)] = merged
    (count,) = reader.take("<Q")
    for _ in range(count):
        (length,) = reader.take("<Q")
        try:
            text = reader.raw(length).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("a cluster text is not UTF-8") from None
        (token_id,) = reader.take("<H")
        model.unicode_lookup[text] = token_id
    return model


def _check_model_path(path: str) -> None:
    if os.path.isdir(path):
        raise ToolError(f"{path}: is a directory, not a tokenizer file")
    if not os.path.exists(path):
        raise ToolError(f"{path}: no such tokenizer file (create one with `velkor new {path}`)")
    if not os.path.isfile(path):
        # A pipe gives its bytes to one open only: the read that follows.
        if not os.access(path, os.R_OK):
            raise ToolError(f"{path}: {os.strerror(errno.EACCES)}")
        return
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None


def _model_bytes(path: str) -> bytes:
    """The bytes of the tokenizer file at path, read once (it may be a pipe)."""
    _check_model_path(path)
    try:
        with open(path, "rb") as f:
            return read_image(f)
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None


def read_model(path: str) -> tuple[bytes, Model]:
    """The bytes and maps of the tokenizer file at path."""
    data = _model_bytes(path)
    try:
        return data, parse_model(data)
    except ValueError as error:
        raise ToolError(f"{path}: not a valid tokenizer file ({error})") from None


def utf8_name(path: str) -> bool:
    """Whether the module can take path: it passes file names on as UTF-8."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:  # bytes of the name that are not UTF-8, kept as surrogates
        return False
    return True


def load_model(path: str, data: bytes | None = None) -> velkor.Data:
    """The module's Data object for the file at path (through a private copy
    when its name is not UTF-8). `data`, the file's bytes as read_model gave
    them, stands in for a file that cannot be read twice (a pipe)."""
    _check_model_path(path)
    with contextlib.ExitStack() as stack:
        usable = path
        if not utf8_name(path) or (data is not None and not os.path.isfile(path)):
            usable = os.path.join(stack.enter_context(tempfile.TemporaryDirectory(prefix="velkor-")), "tokenizer")
            try:
                if data is None:
                    shutil.copyfile(path, usable)
                else:
                    with open(usable, "wb") as copy:
                        copy.write(data)
            except OSError as error:
                raise ToolError(f"{path}: {describe(error)}") from None
        with module_failures(path, "not a valid tokenizer file"):
            return velkor.load_from_file(usable)
    raise AssertionError("unreachable")


def load_tokenizer(path: str) -> Tokenizer:
    """The velkor_tools.Tokenizer of the file at path; errors as load_model's."""
    from velkor_tools.tokenizer import Tokenizer

    data = _model_bytes(path)
    try:
        return Tokenizer(data, name=path)
    except ValueError as error:
        load_model(path, data)  # the module's own wording of what is wrong
        raise ToolError(f"{path}: not a valid tokenizer file ({error})") from None


@contextlib.contextmanager
def module_failures(path: str, what: str) -> Iterator[None]:
    """Turns a failure inside the module into a ToolError naming path.

    The module reports its failures on file descriptor 2 as well; that report
    is silenced, so the user sees one line.
    """
    try:
        with quiet_stderr():
            yield
    except (KeyboardInterrupt, SystemExit, ToolError):
        raise
    except BaseException as error:  # the module's PanicException derives from BaseException
        if type(error).__name__ != "PanicException":
            raise
        raise ToolError(f"{path}: {what} ({plain(str(error))})") from None
