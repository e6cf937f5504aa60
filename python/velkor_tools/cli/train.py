"""`velkor train MODEL CORPUS...`: grow a model on text files, with progress.

The training runs in a child process (velkor_tools.train_child) whose working
directory is a private temporary directory: the module saves "tokenizer" and
writes its logs there, never in the user's directory. After each chunk the
saved model is copied over MODEL atomically, so MODEL is always either the
previous file or the model after a completed chunk.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from velkor_tools.cli.common import add_command, plural
from velkor_tools.errors import ToolError
from velkor_tools.files import check_input_file, check_writable, describe, same_file, write_atomically
from velkor_tools.model import STARTER_MODEL, load_model, parse_model, read_model, utf8_name
from velkor_tools.plain_errors import plain
from velkor_tools.streams import stdin_buffer
from velkor_tools.train_child import FAILURE_MARK
from velkor_tools.utf8 import StreamDecoder, add_errors_option, replaced_bytes

# Bytes that one read of the training file takes; each chunk ends with a save.
CHUNK_BYTES = 3_067_833
NOTE_INTERVAL = 0.1  # seconds between live counter refreshes
PRIVATE_PREFIX = "velkor-train-"  # then the pid of the command that owns the directory


def _remove_stale_directories() -> None:
    """Removes the private directories of earlier runs that were killed (SIGKILL)."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        owner = name.removeprefix(PRIVATE_PREFIX).partition("-")[0]
        if not name.startswith(PRIVATE_PREFIX) or not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(base, name), ignore_errors=True)
        except OSError:
            pass  # alive, owned by someone else


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


def _regular_copy(path: str, directory: str, number: int) -> str:
    """path itself when it is a regular file; else (a pipe, process
    substitution, "-" for standard input) a copy of what it holds in directory.

    The module takes each chunk with one read call, which a pipe answers with
    at most 64 KiB: only a regular file gives the same model as the same text.
    """
    if path != "-":
        try:
            if stat.S_ISREG(os.stat(path).st_mode) or os.path.isdir(path):
                if utf8_name(path):
                    return path
                link = os.path.join(directory, f"input-{number}")  # a name the module can take
                os.symlink(os.path.abspath(path), link)
                return link
        except OSError:
            return path  # check_input_file names the problem
    copy = os.path.join(directory, f"input-{number}")
    try:
        with contextlib.ExitStack() as stack:
            source = stdin_buffer() if path == "-" else stack.enter_context(open(path, "rb"))
            with open(copy, "wb") as target:
                shutil.copyfileobj(source, target, 1 << 20)
    except OSError as error:
        raise ToolError(f"{path}: {describe(error)}") from None
    return copy


def train(
    model: str, corpora: list[str], log: str | None = None, verbose: bool = False,
    errors: str = "replace", vocab_size: int | None = None, progress: bool = True,
) -> TrainResult:
    """Trains MODEL on each corpus in order, as consecutive Data.train calls would.

    errors="strict" refuses a corpus with invalid UTF-8 before training starts.
    A corpus that is not a regular file is read once into a private copy.
    With vocab_size, passes over all corpora run until the model holds that
    many tokens or a pass adds none, then the model is trimmed to exactly
    that many (see _trim).
    """
    if vocab_size is not None:
        check_vocab_size(vocab_size)
        if log is not None:
            raise ToolError("--log keeps the log of one pass: leave it out with --vocab-size", 2)
    _remove_stale_directories()
    copies = tempfile.mkdtemp(prefix=f"{PRIVATE_PREFIX}{os.getpid()}-")
    try:
        regular = [_regular_copy(path, copies, number) for number, path in enumerate(corpora)]
        if vocab_size is None:
            return _train(model, corpora, regular, log, verbose, errors, progress)
        return _train_to_size(model, corpora, regular, verbose, errors, vocab_size, progress)
    finally:
        shutil.rmtree(copies, ignore_errors=True)


def check_vocab_size(size: int) -> None:
    least = len(parse_model(STARTER_MODEL).lookup)
    if not least <= size <= 65536:
        raise ToolError(f"--vocab-size must be from {least} (the starter model's tokens) to 65536, not {size}", 2)


def _tokens(model: str) -> int:
    return len(read_model(model)[1].lookup) if os.path.exists(model) else 0


def _train_to_size(
    model: str, given: list[str], corpora: list[str], verbose: bool, errors: str, size: int,
    progress: bool,
) -> TrainResult:
    """Training passes until MODEL holds `size` tokens or a pass adds none, then the trim."""
    result: TrainResult | None = None
    tokens = _tokens(model)
    if tokens > size:
        _say(progress, f"{model}: holds {plural(tokens, 'token')}, more than {size}: trimmed without training")
    number = 0
    while tokens < size:
        number += 1
        _say(progress, f"pass {number}: {plural(tokens, 'token')} of {size}")
        result = _train(model, given, corpora, None, verbose, errors, progress)
        if result.tokens <= tokens:
            _say(progress, f"{model}: stopped at {plural(tokens, 'token')}, short of {size}: "
                           "a pass over the corpus added none (more text would add more)")
            break
        tokens = result.tokens
    _trim(model, size, progress)
    _, final = read_model(model)
    return TrainResult(len(final.lookup), len(final.merges), final.clusters,
                       result.seconds if result else 0.0, result.corpus_bytes if result else 0,
                       result.replaced_bytes if result else 0)


def _trim(model: str, size: int, progress: bool) -> None:
    """Drops merged tokens, highest id first, down to `size` tokens, renumbered 0 to size - 1."""
    from velkor_tools.tokenizer import Tokenizer

    image, parsed = read_model(model)
    clusters = len(set(parsed.unicode_lookup.values()))
    if clusters > size:
        _say(True, f"{model}: its {plural(clusters, 'cluster token')} alone are more than {size}: all kept")
    write_atomically(model, Tokenizer.from_bytes(image)._trimmed(size))


def _say(progress: bool, message: str) -> None:
    if progress:
        print(f"velkor: {message}", file=sys.stderr, flush=True)


def _train(
    model: str, given: list[str], corpora: list[str], log: str | None, verbose: bool, errors: str,
    progress: bool = True,
) -> TrainResult:
    """train() on regular files `corpora`, named `given` in messages."""
    names = {os.path.abspath(path): name for path, name in zip(corpora, given)}
    sizes = [check_input_file(path) for path in corpora]
    replaced = sum(scan_corpus(path, errors, names[os.path.abspath(path)]) for path in corpora)
    existed = os.path.exists(model)
    if existed:
        load_model(model)
    check_writable(model)
    if log is not None:
        check_log(log, model, given)
        check_writable(log)
    started = time.monotonic()
    private = tempfile.mkdtemp(prefix=f"{PRIVATE_PREFIX}{os.getpid()}-")
    publisher = _Publisher(os.path.join(private, "tokenizer"), model)
    child: subprocess.Popen[bytes] | None = None
    try:
        start = os.path.abspath(model)
        if not existed or not utf8_name(model):  # the child's module takes UTF-8 names only
            start = os.path.join(private, "start.tok")
            with open(start, "wb") as f:
                f.write(read_model(model)[0] if existed else STARTER_MODEL)
        errors_path = os.path.join(private, "child.err")
        with open(errors_path, "wb") as errors:
            child = subprocess.Popen(
                [sys.executable, "-m", "velkor_tools.train_child", str(os.getpid()), start,
                 "1" if log is not None else "0", *(os.path.abspath(c) for c in corpora)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors,
                cwd=private, process_group=0,  # Ctrl-C reaches this process only
            )
        _follow(child, ChunkCounter(sizes), publisher, verbose, progress)
        status = child.wait()
        if status != 0:
            raise ToolError(_child_failure(errors_path, status, names))
        publisher.publish()
        if publisher.last is None and not existed:
            write_atomically(model, STARTER_MODEL)  # no chunk at all: the starter model
    finally:
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
            shutil.rmtree(private, ignore_errors=True)
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
        for line in child.stdout:
            sys.stdout.buffer.write(line)
            sys.stdout.buffer.flush()
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


def _child_failure(errors_path: str, status: int, names: dict[str, str]) -> str:
    with open(errors_path, "rb") as f:
        lines = f.read().decode("utf-8", "replace").splitlines()
    for line in reversed(lines):
        if line.startswith(FAILURE_MARK):
            corpus, _, message = line.removeprefix(FAILURE_MARK).partition("\t")
            corpus = names.get(corpus, corpus)
            return f"{corpus}: training failed: {plain(message)} (the model of the last completed chunk is kept)"
    last = next((line for line in reversed(lines) if line.strip()), "")
    return f"training process ended with status {status}: {last}"


def run(args: argparse.Namespace) -> int:
    # SIGTERM ends the command like Ctrl-C does: the child stops, MODEL keeps the last chunk.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    result = train(args.model, args.corpus, args.log, args.verbose, args.errors, args.vocab_size)
    rate = result.corpus_bytes / 1e6 / result.seconds if result.seconds > 0 else 0.0
    replaced = f", {plural(result.replaced_bytes, 'byte')} replaced by U+FFFD" if result.replaced_bytes else ""
    print(
        f"{args.model}: {plural(result.tokens, 'token')}, {plural(result.merges, 'merge')}, "
        f"{plural(result.clusters, 'cluster')}, "
        f"{result.seconds:.1f} s, {rate:.2f} MB/s{replaced}"
    )
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "train", "grow a model on text files",
        "Train MODEL on each CORPUS file in order (starting from the starter model when "
        "MODEL does not exist) and leave the result at MODEL, replaced atomically after every "
        "chunk of 3,067,833 bytes. Progress goes to standard error.",
        ["velkor train model.tok books.txt news.txt --log merges.log"],
    )
    parser.add_argument("model", metavar="MODEL", help="tokenizer file to grow (created if missing)")
    parser.add_argument("corpus", metavar="CORPUS", nargs="+", help="plain-text training files")
    parser.add_argument("--log", metavar="FILE", help="keep the merge log (one record per new merge) in FILE")
    parser.add_argument("--verbose", action="store_true", help="show the module's own console lines instead of the progress display")
    parser.add_argument(
        "--vocab-size", type=int, metavar="N",
        help="train in passes over all files until MODEL holds N tokens (or a pass adds none), "
        "then drop merged tokens, highest id first, to exactly N, numbered 0 to N-1",
    )
    add_errors_option(parser, default="replace")
    parser.set_defaults(run=run)
