"""Reading inputs and writing outputs with one-line errors and no half-written files."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import sys
from collections.abc import Iterator
from typing import BinaryIO

from velkor_tools.errors import ToolError

STDIN_NAME = "<stdin>"


def describe(error: OSError) -> str:
    """The system's text for an OS error, without Python's decorations."""
    return error.strerror or str(error)


def read_input(path: str | None) -> tuple[str, bytes]:
    """(name, bytes) of a file, or of standard input when path is None or "-"."""
    if path is None or path == "-":
        return STDIN_NAME, sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return path, f.read()
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None


def split_lines(raw: bytes) -> list[bytes]:
    """Lines without their terminator ("\\n" or "\\r\\n"); a final terminator ends the last line."""
    if not raw:
        return []
    lines = raw.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return [line[:-1] if line.endswith(b"\r") else line for line in lines]


@contextlib.contextmanager
def quiet_stderr() -> Iterator[None]:
    """Silences file descriptor 2, where the module reports its own failures.

    The caller turns the failure into its own one-line message.
    """
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def check_input_file(path: str) -> int:
    """Size of a readable regular file; a ToolError naming it otherwise."""
    try:
        size = os.stat(path).st_size
        if os.path.isdir(path):
            raise ToolError(f"{path}: is a directory")
        with open(path, "rb"):
            pass
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None
    return size


def _open_unnamed(directory: str) -> tuple[int, str | None]:
    """An unnamed file in directory (Linux O_TMPFILE), or a hidden named one where that fails."""
    flag = getattr(os, "O_TMPFILE", 0)
    if flag:
        try:
            return os.open(directory, flag | os.O_WRONLY, 0o666), None
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
    name = os.path.join(directory, f".velkor-{secrets.token_hex(6)}.tmp")
    return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), name


def check_writable(path: str) -> None:
    """Raises the ToolError that writing path would meet, before any work is done."""
    try:
        with atomic_output(path):
            raise _Probe()  # abandon the file: nothing is written
    except _Probe:
        pass


class _Probe(Exception):
    pass


@contextlib.contextmanager
def atomic_output(path: str, replace: bool = True) -> Iterator[BinaryIO]:
    """A binary file that becomes `path` only when the block ends without an error.

    The data is written to an unnamed file in the same directory, synced, and
    then renamed over `path` (replace=True), or linked to it only if `path`
    does not exist (replace=False). An error or a kill before that leaves
    `path` as it was and no other file behind.
    """
    directory = os.path.dirname(path) or "."
    if os.path.isdir(path):
        raise ToolError(f"{path}: is a directory")
    try:
        fd, temp = _open_unnamed(directory)
    except OSError as error:
        raise ToolError(f"{path}: cannot write: {describe(error)}") from None
    published = False
    try:
        with os.fdopen(fd, "wb") as out:
            yield out
            try:
                out.flush()
                with contextlib.suppress(OSError):
                    os.fchmod(fd, os.stat(path).st_mode & 0o7777)
                os.fsync(fd)
                _publish(fd, temp, path, replace)
                published, temp = True, None
                _sync_directory(directory)
            except FileExistsError:
                raise ToolError(f"{path}: already exists (use --force to replace it)") from None
            except OSError as error:
                raise ToolError(f"{path}: cannot write: {describe(error)}") from None
    except OSError as error:  # closing the file failed (a full disk, for example)
        if not published:
            raise ToolError(f"{path}: cannot write: {describe(error)}") from None
        raise
    finally:
        if temp is not None:
            with contextlib.suppress(OSError):
                os.unlink(temp)


def _publish(fd: int, temp: str | None, path: str, replace: bool) -> None:
    """Puts the written file at path, leaving no temporary name behind."""
    if temp is None:  # unnamed: give it a name through /proc
        if not replace:
            _link_unnamed(fd, path)
            return
        temp = os.path.join(os.path.dirname(path) or ".", f".velkor-{secrets.token_hex(6)}.tmp")
        _link_unnamed(fd, temp)
        try:
            os.replace(temp, path)
        except OSError:
            os.unlink(temp)
            raise
        return
    if replace:
        os.replace(temp, path)
    else:
        os.link(temp, path)
        os.unlink(temp)
    return None


def _link_unnamed(fd: int, path: str) -> None:
    # A directory fd makes os.link use linkat(), which follows the /proc link
    # (plain link() would try to link the symbolic link itself).
    root = os.open("/", os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.link(f"/proc/self/fd/{fd}", path, src_dir_fd=root, follow_symlinks=True)
    finally:
        os.close(root)


def write_atomically(path: str, data: bytes, replace: bool = True) -> None:
    with atomic_output(path, replace) as out:
        out.write(data)


def _sync_directory(directory: str) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


@contextlib.contextmanager
def output_stream(path: str | None) -> Iterator[BinaryIO]:
    """Standard output when path is None or "-", else an atomic file."""
    if path is None or path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
    else:
        with atomic_output(path) as out:
            yield out
