"""Training a model file on text files, in a child process, with progress.

The training runs in a child process (velkor_tools.training.child) whose
working directory is a private temporary directory: the module saves
"tokenizer" and writes its logs there, never in the user's directory. After
each chunk the saved model is copied over MODEL atomically, so MODEL is
always either the previous file or the model after a completed chunk.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass

from velkor_tools.errors import ToolError
from velkor_tools.files import (
    check_input_file, check_writable, describe, output_stream, refuse_read_only, same_file, write_atomically,
)
from velkor_tools.model import STARTER_MODEL, Model, load_model, read_model, utf8_name
from velkor_tools.plain_errors import plain
from velkor_tools.streams import stdin_buffer
from velkor_tools.training.child import FAILURE_MARK
from velkor_tools.utf8 import StreamDecoder, replaced_bytes

# Bytes that one read of the training file takes; each chunk ends with a save.
CHUNK_BYTES = 3_067_833
NOTE_INTERVAL = 0.1  # seconds between live counter refreshes
PRIVATE_PREFIX = "velkor-train-"  # then the pid of the command that owns the directory
# The module's failure when a new token would need an id past 65535.
VOCABULARY_FULL = "the vocabulary is full"


class VocabularyFull(ToolError):
    """A training stopped because no token id was left; MODEL keeps the last completed chunk.
    replaced_bytes is TrainResult's: the files were scanned whole before training."""

    def __init__(self, message: str, replaced_bytes: int) -> None:
        super().__init__(message)
        self.replaced_bytes = replaced_bytes


@contextlib.contextmanager
def model_lock(model: str) -> Iterator[None]:
    """One training of a model file at a time on this machine: a second one
    would replace the model under the first, and one's work would be lost.

    The lock is an abstract Unix socket named after the model's real path:
    no file is left behind, and the kernel frees it however the process ends.
    """
    key = hashlib.sha256(os.fsencode(os.path.realpath(model))).hexdigest()[:40]
    lock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        lock.bind(f"\0velkor-train-{key}")
    except OSError as error:
        lock.close()
        if error.errno == errno.EADDRINUSE:
            raise ToolError(f"{model}: another training of this model is running; wait for it to end") from None
        raise ToolError(f"{model}: cannot take the training lock: {describe(error)}") from None
    try:
        yield
    finally:
        lock.close()


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Ctrl-C, SIGTERM and SIGHUP wait until the block ends: a second Ctrl-C
    would otherwise cut short the cleanup after the first and leave files."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signals reach the main thread only
        return
    held = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


_HELD: dict[str, int] = {}  # private directory -> descriptor holding its lock


def make_private_directory() -> str:
    """A private directory under TMPDIR, locked (flock) while this process uses it."""
    path = tempfile.mkdtemp(prefix=f"{PRIVATE_PREFIX}{os.getpid()}-")
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
    except OSError:  # a file system without such locks: the pid alone tells
        os.close(descriptor)
        return path
    _HELD[path] = descriptor
    return path


def remove_private_directory(path: str) -> None:
    shutil.rmtree(path, ignore_errors=True)
    descriptor = _HELD.pop(path, None)
    if descriptor is not None:
        os.close(descriptor)


def remove_stale_directories() -> None:
    """Removes the private directories of earlier runs that were killed (SIGKILL).

    The pid in a name is not enough: a run in another PID namespace (a
    container sharing /tmp) has a pid that is not alive here. A directory
    goes only when its lock is free too.
    """
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        owner = name.removeprefix(PRIVATE_PREFIX).partition("-")[0]
        # ASCII only: int() refuses "²", which isdigit() accepts.
        if not name.startswith(PRIVATE_PREFIX) or not (owner.isascii() and owner.isdigit()):
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            _remove_if_unlocked(os.path.join(base, name))
        except OverflowError:
            pass  # no pid is that large: not a run's directory
        except OSError:
            pass  # alive, owned by someone else


def _remove_if_unlocked(path: str) -> None:
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:  # held by a run alive elsewhere: kept
        os.close(descriptor)
        return
    except OSError:
        pass  # a file system without such locks: the pid alone tells
    try:
        shutil.rmtree(path, ignore_errors=True)
    finally:
        os.close(descriptor)


class ChunkCounter:
    """Follows the module's console lines: which file, how many chunks and merges."""

    def __init__(self, sizes: list[int]) -> None:
        self.sizes = sizes
        self.file = -1
        self.chunks_in_file = 0
        self.chunks = 0
        self.merges = 0

    def feed(self, line: bytes) -> bool:
        """Counts one line; true when it ends a chunk (the save banner)."""
        if line.startswith(b"Just Started"):
            self.file += 1
            self.chunks_in_file = 0
        elif line.startswith(b"Token ") and b" | Merge (" in line:
            self.merges += 1
        elif line.strip() == b"Saved Successfully":
            self.chunks += 1
            self.chunks_in_file += 1
            return True
        return False

    @property
    def done_bytes(self) -> int:
        if self.file < 0:
            return 0
        current = min(self.chunks_in_file * CHUNK_BYTES, self.sizes[self.file])
        return min(sum(self.sizes[: self.file]) + current, sum(self.sizes))


@dataclass
class TrainResult:
    tokens: int
    merges: int
    clusters: int
    seconds: float
    corpus_bytes: int
    replaced_bytes: int = 0  # turned into U+FFFD by the module
    ran_out_of_ids: bool = False  # a chunk ended training to a size: no id was left


def scan_corpus(path: str, errors: str, name: str | None = None) -> int:
    """How many bytes of the file at path training turns into U+FFFD.

    The module decodes each chunk on its own, so besides ill-formed sequences
    it replaces a character that a chunk boundary cuts. Under strict, the
    first ill-formed byte of the file raises InvalidUtf8 instead. A file that
    is not a regular file (a pipe) cannot be read twice and counts 0.
    """
    if not os.path.isfile(path):
        return 0
    whole = StreamDecoder(name or path, errors) if errors == "strict" else None
    replaced = 0
    with open(path, "rb") as file:
        while chunk := file.read(CHUNK_BYTES):
            if whole is not None:
                whole.feed(chunk)
            replaced += replaced_bytes(chunk)
    if whole is not None:
        whole.feed(b"", final=True)
    return replaced


class _Publisher:
    """Copies the child's latest save over MODEL, once per distinct content."""

    def __init__(self, saved: str, model: str) -> None:
        self.saved = saved
        self.model = model
        self.last: bytes | None = None

    def publish(self) -> None:
        try:
            with open(self.saved, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return  # no chunk completed yet
        if data != self.last:
            write_atomically(self.model, data)
            self.last = data


# A merge log begins with a merge record or with the line feed before the
# separator line that ends each chunk.
MERGE_RECORD = re.compile(rb"Token \d+ \| Merge |\n-{83}\n")


def check_log(log: str, model: str, corpora: list[str]) -> None:
    """Refuses a --log that would overwrite an input, the model or another file."""
    for other in [model, *corpora]:
        if same_file(log, other):
            raise ToolError(f"--log {log}: is the same file as {other}; the merge log needs a file of its own")
    if not os.path.isfile(log):
        return
    try:
        with open(log, "rb") as f:
            head = f.read(256)
    except OSError as error:
        raise ToolError(f"{log}: {describe(error)}") from None
    if head and not MERGE_RECORD.match(head):
        raise ToolError(f"--log {log}: exists and is not a merge log; remove it or choose another name")


def _real_path(path: str, found: os.stat_result) -> str | None:
    """The real path of the regular file at path, which the child opens as
    the same file; None when there is none (not a regular file, or one that
    was removed while a descriptor still holds it).

    A name such as /dev/stdin or /dev/fd/N stands for a descriptor of this
    process: the child, which does not share it, would read its own.
    """
    if not stat.S_ISREG(found.st_mode):
        return None
    real = os.path.realpath(path)
    try:
        again = os.stat(real)
    except OSError:
        return None
    return real if (again.st_dev, again.st_ino) == (found.st_dev, found.st_ino) else None


def regular_copy(path: str, directory: str, number: int) -> str:
    """The real path of path when it is a regular file; else (a pipe, process
    substitution, "-" for standard input, a removed file open on /dev/fd/N)
    a copy of what it holds in directory.

    The module takes each chunk with one read call, which a pipe answers with
    at most 64 KiB: only a regular file gives the same model as the same text.
    """
    if path != "-":
        try:
            found = os.stat(path)
            usable = path if os.path.isdir(path) else _real_path(path, found)
            if usable is not None:
                if utf8_name(usable):
                    return usable
                link = os.path.join(directory, f"input-{number}")  # a name the module can take
                os.symlink(os.path.abspath(usable), link)
                return link
        except OSError:
            return path  # check_input_file names the problem
    copy = os.path.join(directory, f"input-{number}")
    with contextlib.ExitStack() as stack:
        try:
            source = stdin_buffer() if path == "-" else stack.enter_context(open(path, "rb"))
        except OSError as error:
            raise ToolError(f"{path}: {describe(error)}") from None
        try:
            target = stack.enter_context(open(copy, "wb"))
            while True:
                try:
                    block = source.read(1 << 20)
                except OSError as error:
                    raise ToolError(f"{path}: {describe(error)}") from None
                if not block:
                    break
                target.write(block)
            target.flush()
        except OSError as error:  # the private directory's side: TMPDIR full, say
            raise ToolError(f"{path}: cannot copy it under {tempfile.gettempdir()} (TMPDIR): "
                            f"{describe(error)}") from None
    return copy


def check_training_files(model: str, given: list[str], corpora: list[str]) -> list[int]:
    """The sizes of the regular files `corpora` (named `given` in messages), once
    each is found readable and none is MODEL, and MODEL writable."""
    sizes = [check_input_file(path, name) for path, name in zip(corpora, given)]
    for path, name in zip(corpora, given):
        if same_file(path, model):  # the module refuses this too
            raise ToolError(f"{name}: is the model file; a model is not trained on itself")
    if os.path.isdir(model):
        raise ToolError(f"{model}: is a directory, not a tokenizer file")
    if os.path.exists(model) and not os.path.isfile(model):  # read more than once, written after every chunk
        raise ToolError(f"{model}: not a regular file; a model to train must be one")
    refuse_read_only(model)
    check_writable(model)
    return sizes


def check_id_0(model: str, parsed: Model, trimming: bool = False) -> None:
    """Refuses a model whose id 0 holds a token: training makes id 0 the empty
    "oov" token, and that token would be lost. A trim renumbers from id 0, so
    it needs that token there."""
    if parsed.lookup.get(0, None if trimming else b"") != b"":
        raise ToolError(f"{model}: id 0 is not the empty token that training keeps for \"oov\"; "
                        + ("cannot trim it" if trimming else "training would overwrite it"))


def train_files(
    model: str, given: list[str], corpora: list[str], log: str | None, verbose: bool, errors: str,
    progress: bool = True, scanned: int | None = None,
) -> TrainResult:
    """One training of MODEL on the regular files `corpora` (named `given` in
    messages), in a child process, MODEL replaced after every chunk.

    scanned is what an earlier pass's scan of the same files found: they are
    not scanned again."""
    names = {os.path.abspath(path): name for path, name in zip(corpora, given)}
    sizes = check_training_files(model, given, corpora)
    if scanned is None:
        replaced = sum(scan_corpus(path, errors, name) for path, name in zip(corpora, given))
    else:
        replaced = scanned
    existed = os.path.exists(model)
    image = STARTER_MODEL
    if existed:
        load_model(model)  # the module's own wording of what is wrong
        image, parsed = read_model(model)
        check_id_0(model, parsed)
    if log is not None:
        check_log(log, model, given)
        check_writable(log)
    started = time.monotonic()
    private = make_private_directory()
    publisher = _Publisher(os.path.join(private, "tokenizer"), model)
    child: subprocess.Popen[bytes] | None = None
    try:
        start = os.path.abspath(model)
        if not existed or not utf8_name(model):  # the child's module takes UTF-8 names only
            start = os.path.join(private, "start.tok")
            with open(start, "wb") as f:
                f.write(image)
        errors_path = os.path.join(private, "child.err")
        with open(errors_path, "wb") as child_errors:
            child = subprocess.Popen(
                [sys.executable, "-m", "velkor_tools.training.child", str(os.getpid()), start,
                 "1" if log is not None else "0", *(os.path.abspath(c) for c in corpora)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=child_errors,
                cwd=private, process_group=0,  # Ctrl-C reaches this process only
            )
        _follow(child, ChunkCounter(sizes), publisher, verbose, progress)
        status = child.wait()
        if status != 0:
            failure = _child_failure(errors_path, status, names)
            if VOCABULARY_FULL in failure:
                raise VocabularyFull(failure, replaced)
            raise ToolError(failure)
        publisher.publish()
        if publisher.last is None and not existed:
            write_atomically(model, STARTER_MODEL)  # no chunk at all: the starter model
    finally:
        with signals_held():
            if child is not None and child.poll() is None:
                child.kill()
                child.wait()
            if child is not None and child.stdout is not None:
                child.stdout.close()
            try:
                publisher.publish()  # the last completed chunk, also after Ctrl-C or a failure
                if log is not None and os.path.exists(os.path.join(private, "log.txt")):
                    with open(os.path.join(private, "log.txt"), "rb") as f:
                        write_atomically(log, f.read())
            finally:
                remove_private_directory(private)
    _, final = read_model(model)
    return TrainResult(len(final.lookup), len(final.merges), final.clusters,
                       time.monotonic() - started, sum(sizes), replaced)


def _follow(
    child: subprocess.Popen[bytes], counter: ChunkCounter, publisher: _Publisher, verbose: bool,
    show: bool = True,
) -> None:
    from velkor_tools.progress import ByteProgress  # rich loads slowly; only needed here

    assert child.stdout is not None
    total = sum(counter.sizes)
    started = time.monotonic()
    noted = 0.0
    if not show:
        for line in child.stdout:
            if counter.feed(line):
                publisher.publish()
        return
    if verbose:
        with output_stream(None) as out:  # a failed write stops training, naming standard output
            for line in child.stdout:
                out.write(line)
                out.flush()
                if counter.feed(line):
                    publisher.publish()
        return
    with ByteProgress("training", total, ["chunks", "merges", "merges/s"]) as progress:
        for line in child.stdout:
            chunk_done = counter.feed(line)
            now = time.monotonic()
            rate = f"{counter.merges / max(now - started, 1e-9):.0f}"
            counters = {"chunks": counter.chunks, "merges": counter.merges, "merges/s": rate}
            if chunk_done:
                publisher.publish()
                progress.update(counter.done_bytes, **counters)
            elif now - noted >= NOTE_INTERVAL:
                progress.note(**counters)
                noted = now


def _full(path: str) -> bool:
    """Whether the file system holding path has (almost) no room left."""
    try:
        room = os.statvfs(os.path.dirname(path))
    except OSError:
        return False
    return room.f_bavail * room.f_frsize < (1 << 20)


def _child_failure(errors_path: str, status: int, names: dict[str, str]) -> str:
    with open(errors_path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").splitlines()
    for line in reversed(lines):
        if line.startswith(FAILURE_MARK):
            corpus, _, message = line.removeprefix(FAILURE_MARK).partition("\t")
            corpus = names.get(corpus, corpus)
            return f"{corpus}: training failed: {plain(message)} (the model of the last completed chunk is kept)"
    last = next((line for line in reversed(lines) if line.strip()), "")
    if not last and status > 0 and _full(errors_path):  # its message could not be written either
        last = f"no room left under {tempfile.gettempdir()} (TMPDIR) for its files"
    if status < 0:  # killed by a signal
        try:
            how = f"was killed by {signal.Signals(-status).name}"
        except ValueError:
            how = f"was killed by signal {-status}"
    else:
        how = f"ended with status {status}"
    return f"the training process {how}" + (f": {last}" if last else "")
