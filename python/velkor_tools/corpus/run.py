"""Encoding a corpus on Dask: checks, resume, tasks.

A run first writes its journal in the output directory (journal.py), then
one shard per task, journaled once its files are synced. A new run of the
same job reuses the journaled shards whose files are intact and redoes every
other one. The manifest (manifest.py) is written last, from the journal, and
then the journal is removed, so a finished directory is the same however
often the run was interrupted.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import multiprocessing
import os
import tempfile
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, NoReturn

from velkor_tools.corpus import FORMAT, JOURNAL, MANIFEST, SHARD_FILE, shard_in_place, shard_name
from velkor_tools.corpus.cluster import local_cluster, remembered_interrupts
from velkor_tools.corpus.journal import Journal, is_temporary, still_valid
from velkor_tools.corpus.manifest import Input, build_manifest, check_inputs, finished_manifest, kept_records, what_differs
from velkor_tools.corpus.task import ModelPlugin, Task, encode_task, plan_file
from velkor_tools.arguments import whole_number
from velkor_tools.errors import ToolError
from velkor_tools.files import describe, write_atomically
from velkor_tools.model import load_model, read_model
from velkor_tools.utf8 import ERRORS, InvalidUtf8

MAX_SHARD_BYTES = 1 << 40  # a shard's input, at most
RETRIES = 2  # for a task that raises (a lost worker's tasks are rescheduled by Dask itself)
CONNECT_SECONDS = 10.0  # at most, to reach --scheduler (Dask's own default is 30 s)


@dataclass
class Progress:
    done_bytes: int
    total_bytes: int
    documents: int
    tokens: int


def _read_model(model: str) -> tuple[bytes, str]:
    image = read_model(model)[0]  # read once: MODEL may be a pipe
    load_model(model, image)  # refuses what is not a tokenizer file, in one line
    return image, hashlib.sha256(image).hexdigest()


def _line_number(task: Task, line_in_task: int) -> int:
    """The 1-based line number in the whole file of a line of the task."""
    newlines = 0
    with open(task.path, "rb") as file:
        remaining = task.start
        while remaining > 0 and (block := file.read(min(1 << 20, remaining))):
            newlines += block.count(b"\n")
            remaining -= len(block)
    return newlines + line_in_task + 1


def _prepare_directory(directory: Path) -> int:
    """Creates the directory, checks that it takes files, and locks it for
    this run; returns the descriptor that holds the lock until it is closed."""
    try:
        directory.mkdir(parents=True, exist_ok=True)
        # mkstemp creates the probe exclusively: a link planted under its name is not followed
        probe, name = tempfile.mkstemp(prefix=".velkor-probe-", dir=directory)
        os.close(probe)
        os.unlink(name)
        lock = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        raise ToolError(f"{directory}: cannot write there ({describe(error)})") from None
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(lock)
        raise ToolError(f"{directory}: another encode-corpus run is writing there; wait for it to end") from None
    return lock


def encode_corpus(
    model: str | os.PathLike[str],
    inputs: list[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    text_field: str = "text",
    shard_bytes: int = 64_000_000,
    errors: str = "strict",
    complete: bool = False,
    on_progress: Callable[[Progress], None] | None = None,
) -> dict[str, Any]:
    """Encodes every document of `inputs` into shards in `out_dir`; returns the manifest.

    Runs on `client` if given, else on the Dask scheduler at `scheduler`, else
    on a new LocalCluster of `workers` processes (default: the cores this process may use).
    Everything is checked before any task starts.
    """
    # A worker process of a local cluster imports the main script again as it
    # starts; a call at the script's top level would run there too, meet this
    # run's lock and fail with a message about another run.
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise ToolError("encode_corpus was called again as a worker process started: "
                        'call it under if __name__ == "__main__": in the script that starts it')
    if errors not in ERRORS:
        raise ValueError(f"errors must be 'strict' or 'replace', not {errors!r}")
    if isinstance(inputs, (str, bytes, os.PathLike)):  # would be taken a character at a time
        raise TypeError("inputs must be a list of paths, not one path (write [path])")
    if not isinstance(text_field, str):
        raise TypeError(f"text_field must be a str, not {type(text_field).__name__}")
    shard_bytes = whole_number("shard_bytes", shard_bytes, 1, MAX_SHARD_BYTES)
    if workers is not None:
        workers = whole_number("workers", workers, 1)
    image, model_sha256 = _read_model(os.fsdecode(model))
    found = check_inputs([os.fsdecode(path) for path in inputs])
    directory = Path(out_dir).absolute()
    lock = _prepare_directory(directory)
    try:
        return _encode_locked(
            image, model_sha256, found, directory, text_field, shard_bytes, errors, complete,
            client=client, scheduler=scheduler, workers=workers, on_progress=on_progress,
        )
    finally:
        os.close(lock)


def _remove_leftovers(directory: Path, shards: int | None = None) -> None:
    """Removes the files shards are written to before they are renamed and,
    given this run's number of shards, the files of those numbered from it
    up, which an earlier run whose inputs made more shards left."""
    for entry in directory.iterdir():
        shard = SHARD_FILE.fullmatch(entry.name)
        past = shard is not None and shards is not None and int(shard[1]) >= shards
        if is_temporary(entry.name) or past:
            try:
                entry.unlink(missing_ok=True)
            except OSError as error:
                raise ToolError(f"{entry}: {describe(error)}; remove it") from None


def _shards_in_place(manifest: dict[str, Any], directory: Path) -> bool:
    """Whether each shard of a finished run has both its files, regular and
    of the sizes its counts give (no hashing: a cheap check for a run again)."""
    try:
        return all(shard_in_place(directory, index, shard) for index, shard in enumerate(manifest["shards"]))
    except (TypeError, KeyError):
        return False


def _unchanged(found: list[Input]) -> bool:
    """Whether every input still has the size and modification time it had when the run began."""
    try:
        return check_inputs([item.given for item in found]) == found
    except ToolError:  # one was removed
        return False


def _replaced(manifest: dict[str, Any]) -> bool:
    """Whether a shard of a finished run had lines replaced or skipped (--errors replace)."""
    return any(
        isinstance(shard, dict) and (shard.get("replaced_lines") or shard.get("skipped_lines"))
        for shard in manifest["shards"]
    )


@dataclass
class _Earlier:
    """What a finished corpus already in the directory leaves to this run."""

    done: dict[str, Any] | None = None  # its manifest, when nothing is left to do
    kept: list[dict[str, Any]] | None = None  # its shards' records, read in place of a journal
    keep_manifest: bool = False  # its manifest stays while this run cannot change a shard


def _earlier_run(
    directory: Path, model_sha256: str, found: list[Input], settings: dict[str, Any], errors: str,
) -> _Earlier:
    """What a finished corpus in the directory leaves to do; refuses one of another job."""
    manifest = finished_manifest(directory / MANIFEST)
    if manifest is None:
        return _Earlier()
    expected = build_manifest(model_sha256, found, settings, [])
    same_job = ("model_sha256", *settings)
    paths = [item.get("path") if isinstance(item, dict) else None for item in manifest.get("inputs", [])]
    manifest.setdefault("encoding", "standard")  # written before the choice existed
    differs = what_differs({**manifest, "inputs": paths}, {**expected, "inputs": [i.given for i in found]},
                           (*same_job, "inputs"))
    if differs:
        raise ToolError(
            f"{directory}: holds a finished corpus made with {', '.join(differs)}; "
            "run again with the same settings, or use another directory"
        )
    if (manifest.get("inputs") == expected["inputs"] and not (errors == "strict" and _replaced(manifest))
            and _shards_in_place(manifest, directory)):
        return _Earlier(done=manifest)
    # An input changed since, strict meets shards made under replace, or
    # a shard file is missing or of another size: those shards are encoded
    # again, with any other whose sha256 differs; the others are kept.
    return _Earlier(
        kept=kept_records(manifest, found),
        # No input changed (strict over shards made under replace, or a shard
        # to redo): a shard written again holds what the manifest records, and
        # one whose bytes were replaced stops at its first bad line under
        # strict without being written, so the finished corpus stays readable.
        keep_manifest=manifest.get("inputs") == expected["inputs"],
    )


def _plan_tasks(
    found: list[Input], directory: Path, model_sha256: str, text_field: str, shard_bytes: int, errors: str,
    complete: bool,
) -> list[Task]:
    """One task per shard, in input order, each over a byte range of its input ending on a line boundary."""
    tasks: list[Task] = []
    for input_index, item in enumerate(found):
        for start, end in plan_file(item.path, item.size, shard_bytes):
            tasks.append(
                Task(
                    len(tasks), input_index, item.path, start, end,
                    item.jsonl, text_field, errors, str(directory), model_sha256, complete,
                )
            )
    return tasks


def _job_header(model_sha256: str, found: list[Input], settings: dict[str, Any], shards: int) -> dict[str, Any]:
    """The journal's first line: what a run must share with an unfinished one to resume it."""
    return {
        "format": FORMAT,
        "model_sha256": model_sha256,
        "inputs": [[item.path, item.size, item.mtime_ns] for item in found],
        **settings,
        "shards": shards,
    }


def _start_journal(
    directory: Path, header: dict[str, Any], tasks: list[Task], errors: str, kept: list[dict[str, Any]] | None,
) -> tuple[Journal, dict[int, dict[str, Any]]]:
    """Starts the journal with the earlier shards whose files are intact; returns it and them by index.

    The earlier shards are `kept`, else those journaled by an unfinished run
    of this job; a directory that holds neither and is not empty is refused.
    """
    journal = Journal(directory, header)
    previous = journal.read() if kept is None else kept
    if previous is None:
        if any(directory.iterdir()):
            raise ToolError(f"{directory}: not empty, and holds no unfinished run")
        previous = []
    _remove_leftovers(directory)  # left by a killed run
    done: dict[int, dict[str, Any]] = {}
    for record in previous:
        index = record.get("index")
        if isinstance(index, int) and 0 <= index < len(tasks) and index not in done:
            if still_valid(record, tasks[index], directory, errors):
                done[index] = record
    journal.start(list(done.values()))
    return journal, done


def _clean_up_stopped_run(
    directory: Path, journal: Journal, found: list[Input], done: dict[int, dict[str, Any]], keep_manifest: bool,
) -> None:
    """Leaves the directory fit for the next run after this one stopped; the caller raises on."""
    journal.close()
    # A worker stopped mid-task as its cluster closed leaves its shard's files; best
    # effort, so as not to hide the error that stopped the run.
    with contextlib.suppress(ToolError, OSError):
        _remove_leftovers(directory)
    if keep_manifest:
        if _unchanged(found):  # the manifest still tells every shard
            (directory / JOURNAL).unlink(missing_ok=True)
        else:  # an input changed meanwhile: a shard of it may have been written
            (directory / MANIFEST).unlink(missing_ok=True)
        return
    # Stopped before any shard (a scheduler out of reach): with nothing to
    # resume, the folder is left as empty as it was, free for any job.
    if not done and [entry.name for entry in directory.iterdir() if not is_temporary(entry.name)] == [JOURNAL]:
        (directory / JOURNAL).unlink(missing_ok=True)


def _finish(
    directory: Path, model_sha256: str, found: list[Input], settings: dict[str, Any],
    done: dict[int, dict[str, Any]], shards: int,
) -> dict[str, Any]:
    """Writes the manifest of a run whose every shard is journaled, then removes the journal;
    returns the manifest. An input changed meanwhile is refused, and a stale manifest removed."""
    now = check_inputs([item.given for item in found])
    changed = [was.given for was, item in zip(found, now) if was != item]
    if changed:  # its shards may hold some of each version
        (directory / MANIFEST).unlink(missing_ok=True)
        raise ToolError(f"{changed[0]}: changed while it was being encoded; run again to encode it anew")
    # A worker killed mid-task leaves its shard's files; a shard past the last
    # would make DIR differ from a fresh run's.
    _remove_leftovers(directory, shards)
    manifest = build_manifest(model_sha256, found, settings, [done[index] for index in range(shards)])
    write_atomically(str(directory / MANIFEST), (json.dumps(manifest, indent=1) + "\n").encode("utf-8"))
    (directory / JOURNAL).unlink()  # should a crash bring it back, the manifest makes it moot
    return manifest


def _encode_locked(
    image: bytes, model_sha256: str, found: list[Input], directory: Path, text_field: str,
    shard_bytes: int, errors: str, complete: bool, **run: Any,
) -> dict[str, Any]:
    """Runs the job in `directory`, which this run holds locked; returns the manifest."""
    # The encoding is part of the job: a resume under the other one is refused.
    settings = {
        "text_field": text_field, "shard_bytes": shard_bytes,
        "encoding": "complete" if complete else "standard",
    }
    earlier = _earlier_run(directory, model_sha256, found, settings, errors)
    if earlier.done is not None:
        (directory / JOURNAL).unlink(missing_ok=True)
        return earlier.done  # already done

    tasks = _plan_tasks(found, directory, model_sha256, text_field, shard_bytes, errors, complete)
    header = _job_header(model_sha256, found, settings, len(tasks))
    journal, done = _start_journal(directory, header, tasks, errors, earlier.kept)
    if not earlier.keep_manifest:
        (directory / MANIFEST).unlink(missing_ok=True)  # a stale one: the journal now holds what it kept
    try:
        with remembered_interrupts() as interrupted:
            _run_tasks(
                [task for task in tasks if task.index not in done],
                tasks,
                done,
                image,
                journal,
                found,
                **run,
                interrupted=interrupted,
            )
    except BaseException:
        _clean_up_stopped_run(directory, journal, found, done, earlier.keep_manifest)
        raise
    journal.close()
    return _finish(directory, model_sha256, found, settings, done, len(tasks))


def _first_cause(error: BaseException) -> str:
    """What went wrong beneath an error that others wrap: the system's error
    that began it, if any (a file limit, a missing directory), else the error's own words."""
    chain = [error]
    while (inner := chain[-1].__cause__ or chain[-1].__context__) is not None and inner not in chain:
        chain.append(inner)
    system = next((e for e in reversed(chain) if isinstance(e, OSError) and e.strerror), None)
    if system is not None:
        where = f"{system.filename}: " if system.filename else ""
        hint = " (raise the limit with `ulimit -n`, or give fewer --workers)" if system.errno == errno.EMFILE else ""
        return f"{where}{describe(system)}{hint}"
    text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _count(state: Progress, record: dict[str, Any]) -> None:
    """Adds a journaled shard to the progress."""
    state.done_bytes += record["end"] - record["start"]
    state.documents += record["documents"]
    state.tokens += record["tokens"]


def _open_client(scheduler: str | None, workers: int | None) -> tuple[Any, Any]:
    """A client of the scheduler at `scheduler`, else of a new local cluster of
    `workers` processes, and that cluster (else None); failing to start is one line."""
    from dask.distributed import Client

    if scheduler is not None:
        import dask
        from dask.utils import parse_timedelta

        configured = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s")
        try:
            return Client(scheduler, timeout=min(configured, CONNECT_SECONDS)), None
        except (OSError, ValueError) as error:
            raise ToolError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
    size = workers or len(os.sched_getaffinity(0))  # the cores this process may use
    try:
        cluster = local_cluster(size)
        try:
            return Client(cluster), cluster
        except BaseException:
            cluster.close()  # else its worker processes outlive the failure
            raise
    except ToolError:
        raise
    except Exception as error:  # Dask's own wrapping hides the cause (a file limit, a bad setting)
        raise ToolError(f"cannot start a local Dask cluster of {size} workers: {_first_cause(error)}") from error


def _model_plugin(image: bytes, workers: int | None, local: bool) -> ModelPlugin:
    """The plugin that carries the model to the workers, with the native threads each task may use."""
    # Each local worker's batches share the cores with the other workers; a
    # remote cluster's machines are unknown here, so one thread per task.
    cores = len(os.sched_getaffinity(0))
    return ModelPlugin(image, cores // (workers or cores) if local else 1)


def _register_plugin(client: Any, plugin: ModelPlugin) -> None:
    """Hands the model to every worker; workers that cannot load it are one line."""
    try:
        client.register_plugin(plugin, name=plugin.name)
    except Exception as error:  # a worker without velkor, for one
        raise ToolError(
            f"the workers could not load the model (is velkor installed on every worker?): "
            f"{type(error).__name__}: {error}"
        ) from error


def _collect(
    client: Any,
    futures: list[Any],
    pending: list[Task],
    journal: Journal,
    done: dict[int, dict[str, Any]],
    state: Progress,
    on_progress: Callable[[Progress], None] | None,
    interrupted: Callable[[], None],
) -> dict[str, Any] | None:
    """Journals each shard as its task ends; returns the record of the first refused
    line in input order, if any, the tasks after it cancelled. A failed task is one line."""
    from dask.distributed import as_completed

    index_of = {future.key: task.index for future, task in zip(futures, pending)}
    bad: dict[str, Any] | None = None  # the first refused line found so far
    for future in as_completed(futures):
        interrupted()
        if bad is not None and index_of[future.key] > bad["index"]:
            continue  # cancelled: only earlier shards can hold an earlier bad line
        try:
            record = future.result()
        except Exception as error:  # raised in the task (after its retries), or KilledWorker
            name = shard_name(index_of[future.key])
            raise ToolError(f"{name} failed: {type(error).__name__}: {error}") from error
        future.release()
        if "bad_line" in record:
            bad = record
            client.cancel([later for later in futures if index_of[later.key] > bad["index"]])
            continue
        journal.append(record)
        done[record["index"]] = record
        _count(state, record)
        if on_progress is not None:
            on_progress(replace(state))
    return bad


def _raise_bad_line(bad: dict[str, Any], tasks: list[Task], inputs: list[Input]) -> NoReturn:
    """Raises the error of a refused line, named by its input and its line number in that file."""
    task = tasks[bad["index"]]
    line = _line_number(task, bad["bad_line"])
    name = inputs[task.input_index].given
    if bad.get("offset") is not None:
        raise InvalidUtf8(name, line, bad["offset"])
    raise ToolError(f"{name}:{line}: {bad['reason']}")


def _run_tasks(
    pending: list[Task],
    tasks: list[Task],
    done: dict[int, dict[str, Any]],
    image: bytes,
    journal: Journal,
    inputs: list[Input],
    *,
    client: Any,
    scheduler: str | None,
    workers: int | None,
    on_progress: Callable[[Progress], None] | None,
    interrupted: Callable[[], None],
) -> None:
    """Runs the pending tasks on Dask, adding each shard to `done` and the journal as it ends;
    raises for the first refused line in input order and for a failed task."""
    state = Progress(0, sum(item.size for item in inputs), 0, 0)
    for record in done.values():
        _count(state, record)
    if not pending:
        if on_progress is not None:
            on_progress(replace(state))
        return

    cluster = None
    own_client = client is None
    if own_client:
        client, cluster = _open_client(scheduler, workers)
    plugin = _model_plugin(image, workers, local=cluster is not None)
    futures = []
    try:
        if on_progress is not None:
            on_progress(replace(state))  # the clock starts once the workers are there
        _register_plugin(client, plugin)
        futures = client.map(encode_task, pending, retries=RETRIES, pure=False)
        bad = _collect(client, futures, pending, journal, done, state, on_progress, interrupted)
        interrupted()
        if bad is not None:
            _raise_bad_line(bad, tasks, inputs)
    finally:
        if futures:
            client.cancel(futures)
        if own_client:
            client.close()
            if cluster is not None:
                cluster.close()
