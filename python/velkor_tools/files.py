"""Reading inputs and writing outputs with one-line errors and no half-written files."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets
import stat
import sys
from collections.abc import Iterator
from typing import Any, AnyStr, BinaryIO, cast

from velkor_tools.errors import ToolError
from velkor_tools.streams import stdin_buffer

STDIN_NAME = "<stdin>"


def describe(error: OSError) -> str:
    """The system's text for an OS error, without Python's decorations; a
    nameless "No such file or directory" met in a removed working directory
    (a relative path, os.getcwd) says so."""
    if error.errno == errno.ENOENT and not error.filename:
        try:
            os.getcwd()
        except FileNotFoundError:
            return "the current directory no longer exists (cd to one that does)"
    return error.strerror or str(error)


class CheckedWriter:
    """Writes all of every block or raises: a buffered file reports a short
    write (a full disk, a file size limit) as a smaller count, not an error.
    The caller owns and closes the file underneath."""

    def __init__(self, out: BinaryIO) -> None:
        self.out = out

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        total = len(view)
        while view:
            written = self.out.write(view)
            if not written:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            view = view[written:]
        return total

    def flush(self) -> None:
        self.out.flush()


def checked(out: BinaryIO) -> BinaryIO:
    return cast(BinaryIO, CheckedWriter(out))


def read_input(path: str | None) -> tuple[str, bytes]:
    """(name, bytes) of a file, or of standard input when path is None or "-"."""
    if path is None or path == "-":
        return STDIN_NAME, stdin_buffer().read()
    try:
        with open(path, "rb") as f:
            return path, f.read()
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None


def split_lines(text: AnyStr) -> list[AnyStr]:
    """The lines of text, bytes or decoded, without their terminator ("\\n"
    or "\\r\\n"); a final terminator ends the last line, and a lone "\\r"
    ending the last line stays in it."""
    newline, carriage_return = ("\n", "\r") if isinstance(text, str) else (b"\n", b"\r")
    lines = text.split(newline)
    last = lines.pop()  # empty, unless the text ends with a line of its own
    if carriage_return in text:
        lines = [line[:-1] if line.endswith(carriage_return) else line for line in lines]
    if last:
        lines.append(last)
    return lines


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


def same_file(a: str, b: str) -> bool:
    """Whether both paths lead to one file (device and inode); when one is
    not there yet (a file about to be made), whether they name one place."""
    try:
        first, second = os.stat(a), os.stat(b)
    except FileNotFoundError:
        return os.path.realpath(a) == os.path.realpath(b)
    except OSError:
        return False
    return (first.st_dev, first.st_ino) == (second.st_dev, second.st_ino)


def refuse_model_as_output(output: str | None, model: str, option: str) -> None:
    """An output that is the model file would destroy it: refused before anything is written."""
    if output not in (None, "-") and same_file(output, model):
        raise ToolError(f"{option} {output}: is the model file; write the output elsewhere")


def check_input_file(path: str, name: str | None = None) -> int:
    """Size of a readable regular file; otherwise a ToolError naming it as
    `name` (by default path: a private link to it is no name for the user)."""
    name = path if name is None else name
    try:
        size = os.stat(path).st_size
        if os.path.isdir(path):
            raise ToolError(f"{name}: is a directory")
        with open(path, "rb"):
            pass
    except OSError as error:
        raise ToolError(f"{name}: {describe(error)}") from None
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
    if _is_special(path):  # opening a FIFO would wait for a reader
        if not os.access(path, os.W_OK):
            raise ToolError(f"{path}: cannot write: {os.strerror(errno.EACCES)}")
        return
    try:
        with atomic_output(path):
            raise _Probe()  # abandon the file: nothing is written
    except _Probe:
        pass


class _Probe(Exception):
    pass


def _final_target(path: str) -> str:
    """The file a chain of symbolic links at path ends in (path itself when it is none).

    Replacing that file keeps the links, so a model reached through a link is
    the one that changes.
    """
    return os.path.realpath(path) if os.path.islink(path) else path


# Names under /dev that stand for a descriptor of this process; other regular
# files there (/dev/shm/...) are files like any other.
_DEVICE_DESCRIPTOR = re.compile(r"/dev/(stdin|stdout|stderr|fd/\d+)")


def names_descriptor(path: str) -> bool:
    """Whether path, or where it leads, is a descriptor's name (/dev/stdout,
    /dev/fd/N) or under /proc: another process opening it gets its own."""
    names = (os.path.abspath(path), os.path.realpath(path))
    return any(name.startswith("/proc/") or _DEVICE_DESCRIPTOR.fullmatch(name) for name in names)


def _is_special(path: str) -> bool:
    """A FIFO, device or socket, or a descriptor's name: written as a
    stream, never replaced."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    if stat.S_ISREG(mode) and not names_descriptor(path):
        return False
    return not stat.S_ISDIR(mode)


DESCRIPTOR_NAME = re.compile(r"/dev/(stdout|stderr)|/dev/fd/(\d+)|/proc/self/fd/(\d+)")


@contextlib.contextmanager
def _stream_output(path: str, shown: str) -> Iterator[BinaryIO]:
    """An existing special file opened for writing, every write checked.

    The name of one of this process's descriptors (/dev/stdout, /dev/fd/N)
    writes to a copy of that descriptor: opening the name again would
    truncate a file the shell opened for appending (`>> out`).
    """
    named = DESCRIPTOR_NAME.fullmatch(path)
    try:
        if named:
            number = {"stdout": 1, "stderr": 2}.get(named[1]) or int(named[2] or named[3])
            out = os.fdopen(os.dup(number), "wb")
        else:
            out = open(path, "wb")
    except OSError as error:
        raise ToolError(f"{shown}: cannot write: {describe(error)}") from None
    try:
        with out:
            yield checked(out)
            out.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise ToolError(f"{shown}: cannot write: {describe(error)}") from None


@contextlib.contextmanager
def atomic_output(path: str, replace: bool = True) -> Iterator[BinaryIO]:
    """A binary file that becomes `path` only when the block ends without an error.

    The data is written to an unnamed file in the same directory, synced, and
    then renamed over `path` (replace=True), or linked to it only if `path`
    does not exist (replace=False). An error or a kill before that leaves
    `path` as it was and no other file behind. A symbolic link is kept and
    the file it leads to replaced; a FIFO or a device (such as /dev/null or
    /dev/stdout) is opened and written in place, never replaced.
    """
    shown = path
    if replace:
        if _is_special(path):  # opened by its own name: /dev/stdout leads to /proc
            with _stream_output(path, shown) as out:
                yield out
            return
        path = _final_target(path)
    directory = os.path.dirname(path) or "."
    if os.path.isdir(path):
        raise ToolError(f"{shown}: is a directory")
    try:
        fd, temp = _open_unnamed(directory)
    except OSError as error:
        raise ToolError(f"{shown}: cannot write: {describe(error)}") from None
    published = False
    try:
        with os.fdopen(fd, "wb") as out:
            yield checked(out)
            try:
                out.flush()
                with contextlib.suppress(OSError):
                    os.fchmod(fd, os.stat(path).st_mode & 0o7777)
                os.fsync(fd)
                _publish(fd, temp, path, replace)
                published, temp = True, None
                _sync_directory(directory)
            except FileExistsError:
                raise ToolError(f"{shown}: already exists (use --force to replace it)") from None
            except OSError as error:
                raise ToolError(f"{shown}: cannot write: {describe(error)}") from None
    except OSError as error:  # closing the file failed (a full disk, for example)
        if not published:
            raise ToolError(f"{shown}: cannot write: {describe(error)}") from None
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


def refuse_read_only(path: str) -> None:
    """Refuses a file the user may not write: a rename would replace it all the same."""
    if os.path.isfile(path) and not os.access(path, os.W_OK):
        raise ToolError(f"{path}: cannot write: {os.strerror(errno.EACCES)} (the file is read-only)")


@contextlib.contextmanager
def output_stream(path: str | None) -> Iterator[BinaryIO]:
    """Standard output when path is None or "-", else atomic_output(path)."""
    if path is None or path == "-":
        try:
            yield checked(sys.stdout.buffer)
        except BrokenPipeError:
            raise
        except OSError as error:
            abandon_stdout()
            raise ToolError(f"standard output: cannot write: {describe(error)}") from None
        flush_stdout()
    else:
        refuse_read_only(path)
        with atomic_output(path) as out:
            yield out


def flush_stdout() -> None:
    """Flushes standard output; a failed write is a ToolError (a closed pipe stays BrokenPipeError)."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as error:
        detail = describe(error) if isinstance(error, OSError) else "it is closed"
        abandon_stdout()
        raise ToolError(f"standard output: cannot write: {detail}") from None


def abandon_stdout() -> None:
    """Sends what standard output still buffers to /dev/null once a write has failed:
    the interpreter would try it again at exit, fail again and print a traceback."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, sys.stdout.fileno())
        finally:
            os.close(null)
        sys.stdout.flush()
