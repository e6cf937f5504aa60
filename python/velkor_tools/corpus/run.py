"""Encoding a corpus on Dask: checks, resume, tasks, journal and manifest.

The run writes `.journal` in the output directory first: a header naming the
job (model sha256, inputs with size and modification time, settings), then
one line per finished shard, once its files are synced, with its counts and
the sha256 of its two files.
A new run with the same job reuses a journaled shard only if both its files
still hash to the recorded values, and redoes every other one. The manifest
is written last, from the journal, and then the journal is removed, so a
finished directory is the same however often the run was interrupted.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import logging
import os
import re
import signal
import stat
import tempfile
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

from velkor_tools.corpus import FORMAT, JOURNAL, MANIFEST, shard_name, shard_paths
from velkor_tools.corpus.task import ModelPlugin, Task, encode_task, plan_file
from velkor_tools.errors import ToolError
from velkor_tools.unknown import UnknownClusters
from velkor_tools.utf8 import ERRORS, InvalidUtf8
from velkor_tools.files import atomic_output, describe
from velkor_tools.model import load_model

MAX_SHARD_BYTES = 1 << 40  # a shard's input, at most
RETRIES = 2  # for a task that raises (a lost worker's tasks are rescheduled by Dask itself)
CONNECT_SECONDS = 10.0  # at most, to reach --scheduler (Dask's own default is 30 s)

# Dask's defaults that cost the local cluster's workers CPU time for nothing
# this job uses. Every 10 ms the statistical profiler (only seen on a
# dashboard) samples each thread, and every 20, 100 and 500 ms the event-loop
# watch, the memory monitor and the system monitor wake up; each wake-up takes
# the interpreter lock from the encoding thread, about 4% of a worker's time
# in all. MALLOC_TRIM_THRESHOLD_, set for the workers to hand freed memory
# back sooner, also turns off glibc's adaptive mmap threshold, so every block
# of lines, its text and its ids are mapped and faulted in afresh: 7% more.
LOCAL_CLUSTER_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.admin.system-monitor.interval": "1s",
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
}


@dataclass
class Progress:
    done_bytes: int
    total_bytes: int
    documents: int
    tokens: int


@dataclass(frozen=True)
class _Input:
    given: str
    path: str  # absolute
    size: int
    mtime_ns: int
    jsonl: bool


def _read_model(model: str) -> tuple[bytes, str]:
    load_model(model)  # refuses what is not a tokenizer file, in one line
    try:
        image = Path(model).read_bytes()
    except OSError as error:
        raise ToolError(f"{model}: {describe(error)}") from None
    return image, hashlib.sha256(image).hexdigest()


def _inputs(paths: list[str]) -> list[_Input]:
    found = []
    for given in paths:
        try:
            # stat before open: opening a FIFO with no writer would wait for ever
            if not stat.S_ISREG(os.stat(given).st_mode):
                raise ToolError(f"{given}: not a regular file")
            with open(given, "rb") as file:
                status = os.fstat(file.fileno())
        except OSError as error:
            raise ToolError(f"{given}: {describe(error)}") from None
        found.append(
            _Input(given, os.path.abspath(given), status.st_size, status.st_mtime_ns, given.endswith(".jsonl"))
        )
    return found


def _write_atomically(path: Path, text: str) -> None:
    with atomic_output(str(path)) as out:
        out.write(text.encode("utf-8"))


def _file_sha256(path: Path) -> str | None:
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as file:
            while block := file.read(1 << 20):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def _sync(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


# The names of the files this job makes under temporary names: a shard's
# (task.py's _HashedFile) and atomic_output's.
TEMPORARY_NAME = re.compile(r"\.shard-\d+\.(bin|idx)\.tmp-\w+|\.velkor-[0-9a-f]{12}\.tmp")


def _is_temporary(name: str) -> bool:
    """A name of a shard's or of atomic_output's file in the making."""
    return TEMPORARY_NAME.fullmatch(name) is not None


class _Journal:
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
        except (IndexError, ValueError):
            header = None
        if header != self.header:
            raise ToolError(
                f"{self.path.parent}: holds an unfinished run with other inputs or settings; "
                "run again with the same ones, or use another directory"
            )
        records = []
        for line in lines[1:]:
            try:
                records.append(json.loads(line))
            except ValueError:  # torn by a kill mid-write: the shard is redone
                pass
        return records

    def start(self, records: list[dict[str, Any]]) -> None:
        """Rewrites the journal with the records kept, then opens it for appending."""
        lines = [json.dumps(self.header)] + [json.dumps(record) for record in records]
        _write_atomically(self.path, "".join(line + "\n" for line in lines))
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


def _still_valid(record: dict[str, Any], task: Task, directory: Path, errors: str) -> bool:
    if (record.get("start"), record.get("end")) != (task.start, task.end):
        return False
    if errors == "strict" and (record.get("replaced_lines") or record.get("skipped_lines")):
        return False  # made under --errors replace: strict must stop at its line
    ids_path, idx_path = shard_paths(directory, task.index)
    return _file_sha256(ids_path) == record.get("ids_sha256") and _file_sha256(idx_path) == record.get(
        "idx_sha256"
    )


def _line_number(task: Task, line_in_task: int) -> int:
    """The 1-based line number in the whole file of a line of the task."""
    newlines = 0
    with open(task.path, "rb") as file:
        remaining = task.start
        while remaining > 0 and (block := file.read(min(1 << 20, remaining))):
            newlines += block.count(b"\n")
            remaining -= len(block)
    return newlines + line_in_task + 1


def _first_examples(records: list[dict[str, Any]]) -> dict[str, int]:
    """The first few clusters the model lacks, in input order, with their counts in those shards."""
    unknown = UnknownClusters()
    for record in records:
        unknown.add(record.get("unknown_examples", {}))
    return unknown.examples


def _manifest(
    model_sha256: str, inputs: list[_Input], settings: dict[str, Any], records: list[dict[str, Any]]
) -> dict[str, Any]:
    shards = [
        {"name": shard_name(record["index"])}
        | {key: value for key, value in record.items() if key not in ("index", "unknown_examples")}
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


def _finished_manifest(path: Path) -> dict[str, Any] | None:
    """The manifest of a finished run in the directory, or None if there is none."""
    try:
        manifest = json.loads(path.read_bytes())
    except FileNotFoundError:
        return None
    except (OSError, ValueError, RecursionError):
        manifest = None
    if not isinstance(manifest, dict) or not isinstance(manifest.get("shards"), list):
        raise ToolError(f"{path}: not a manifest of encode-corpus; remove it, or use another directory")
    return manifest


def _kept_records(manifest: dict[str, Any], inputs: list[_Input]) -> list[dict[str, Any]]:
    """The shards of a finished run whose input has not changed since (same
    size and modification time), as journal records, to be checked again."""
    unchanged = {
        number for number, (old, new) in enumerate(zip(manifest.get("inputs", []), inputs))
        if isinstance(old, dict) and (old.get("size"), old.get("mtime_ns")) == (new.size, new.mtime_ns)
    }
    records = []
    for shard in manifest["shards"]:
        if isinstance(shard, dict) and shard.get("input") in unchanged:
            name = str(shard.get("name", ""))
            if name.startswith("shard-") and name[6:].isdigit():
                records.append({"index": int(name[6:])} | {k: v for k, v in shard.items() if k != "name"})
    return records


def encode_corpus(
    model: str,
    inputs: list[str],
    out_dir: str,
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
    on a new LocalCluster of `workers` processes (default: the machine's cores).
    Everything is checked before any task starts.
    """
    if errors not in ERRORS:
        raise ValueError(f"errors must be 'strict' or 'replace', not {errors!r}")
    if not isinstance(shard_bytes, int) or not 1 <= shard_bytes <= MAX_SHARD_BYTES:
        raise ValueError(f"shard_bytes must be an integer from 1 to {MAX_SHARD_BYTES}")
    image, model_sha256 = _read_model(model)
    found = _inputs(inputs)
    directory = Path(out_dir).absolute()
    lock = _prepare_directory(directory)
    try:
        return _encode_locked(
            image, model_sha256, found, directory, text_field, shard_bytes, errors, complete,
            client=client, scheduler=scheduler, workers=workers, on_progress=on_progress,
        )
    finally:
        os.close(lock)


def _encode_locked(
    image: bytes, model_sha256: str, found: list[_Input], directory: Path, text_field: str,
    shard_bytes: int, errors: str, complete: bool, **run: Any,
) -> dict[str, Any]:
    # The encoding is part of the job: a resume under the other one is refused.
    settings = {
        "text_field": text_field, "shard_bytes": shard_bytes,
        "encoding": "complete" if complete else "standard",
    }
    finished = directory / MANIFEST
    kept: list[dict[str, Any]] | None = None  # the shards of a stale finished run
    manifest = _finished_manifest(finished)
    if manifest is not None:
        expected = _manifest(model_sha256, found, settings, [])
        same_job = ("model_sha256", *settings)
        paths = [item.get("path") if isinstance(item, dict) else None for item in manifest.get("inputs", [])]
        manifest.setdefault("encoding", "standard")  # written before the choice existed
        if any(manifest.get(key) != expected[key] for key in same_job) or paths != [i.given for i in found]:
            raise ToolError(f"{directory}: holds a finished corpus of other inputs or settings")
        if manifest.get("inputs") == expected["inputs"]:
            (directory / JOURNAL).unlink(missing_ok=True)
            return manifest  # already done
        kept = _kept_records(manifest, found)  # an input changed since: encode it again

    tasks: list[Task] = []
    for input_index, item in enumerate(found):
        for start, end in plan_file(item.path, item.size, shard_bytes):
            tasks.append(
                Task(
                    len(tasks), input_index, item.path, start, end,
                    item.jsonl, text_field, errors, str(directory), model_sha256, complete,
                )
            )
    header = {
        "format": FORMAT,
        "model_sha256": model_sha256,
        "inputs": [[item.path, item.size, item.mtime_ns] for item in found],
        **settings,
        "shards": len(tasks),
    }
    journal = _Journal(directory, header)
    previous = journal.read() if kept is None else kept
    if previous is None:
        if any(directory.iterdir()):
            raise ToolError(f"{directory}: not empty, and holds no unfinished run")
        previous = []
    for entry in directory.iterdir():
        if _is_temporary(entry.name):
            try:
                entry.unlink(missing_ok=True)  # left by a killed run
            except OSError as error:
                raise ToolError(f"{entry}: {describe(error)}; remove it") from None
    done: dict[int, dict[str, Any]] = {}
    for record in previous:
        index = record.get("index")
        if isinstance(index, int) and 0 <= index < len(tasks) and index not in done:
            if _still_valid(record, tasks[index], directory, errors):
                done[index] = record
    journal.start(list(done.values()))
    finished.unlink(missing_ok=True)  # a stale one: the journal now holds what it kept
    try:
        _run_tasks(
            [task for task in tasks if task.index not in done],
            tasks,
            done,
            image,
            journal,
            found,
            **run,
        )
    finally:
        journal.close()

    manifest = _manifest(model_sha256, found, settings, [done[index] for index in range(len(tasks))])
    _write_atomically(finished, json.dumps(manifest, indent=1) + "\n")
    (directory / JOURNAL).unlink()  # should a crash bring it back, the manifest makes it moot
    return manifest


def local_cluster(workers: int) -> Any:
    """A LocalCluster of single-threaded worker processes, set up as
    LOCAL_CLUSTER_CONFIG says. Processes, although the Tokenizer releases the
    interpreter lock and one process of Dask threads measured faster on two
    cores: a worker killed mid-task then loses its own tasks only, and the
    job's recovery from that is built around processes."""
    import dask
    from dask.distributed import LocalCluster

    # The worker processes start with SIGINT ignored (and keep it so): Ctrl-C
    # reaches the whole process group, and only this process should act on it,
    # closing the cluster, rather than every worker printing its traceback.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with dask.config.set(LOCAL_CLUSTER_CONFIG):  # the workers take the settings with them
            return LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address="127.0.0.1:0",  # no fixed port: another cluster may hold it
                silence_logs=logging.CRITICAL,  # a failed task is reported once, by _run_tasks
            )
    finally:
        signal.signal(signal.SIGINT, previous)


def _run_tasks(
    pending: list[Task],
    tasks: list[Task],
    done: dict[int, dict[str, Any]],
    image: bytes,
    journal: _Journal,
    inputs: list[_Input],
    *,
    client: Any,
    scheduler: str | None,
    workers: int | None,
    on_progress: Callable[[Progress], None] | None,
) -> None:
    total = sum(item.size for item in inputs)
    state = Progress(0, total, 0, 0)

    def count(record: dict[str, Any]) -> None:
        state.done_bytes += record["end"] - record["start"]
        state.documents += record["documents"]
        state.tokens += record["tokens"]

    for record in done.values():
        count(record)
    if not pending:
        if on_progress is not None:
            on_progress(replace(state))
        return

    from dask.distributed import Client, as_completed

    cluster = None
    own_client = client is None
    if own_client:
        if scheduler is not None:
            import dask
            from dask.utils import parse_timedelta

            configured = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="s")
            try:
                client = Client(scheduler, timeout=min(configured, CONNECT_SECONDS))
            except (OSError, ValueError) as error:
                raise ToolError(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
        else:
            cluster = local_cluster(workers or os.cpu_count() or 1)
            client = Client(cluster)
    # Each local worker's batches share the cores with the other workers; a
    # remote cluster's machines are unknown here, so one thread per task.
    cores = len(os.sched_getaffinity(0))
    plugin = ModelPlugin(image, cores // (workers or cores) if cluster is not None else 1)
    futures = []
    try:
        if on_progress is not None:
            on_progress(replace(state))  # the clock starts once the workers are there
        try:
            client.register_plugin(plugin, name=plugin.name)
        except Exception as error:  # a worker without velkor, for one
            raise ToolError(
                f"the workers could not load the model (is velkor installed on every worker?): "
                f"{type(error).__name__}: {error}"
            ) from error
        futures = client.map(encode_task, pending, retries=RETRIES, pure=False)
        index_of = {future.key: task.index for future, task in zip(futures, pending)}
        bad: dict[str, Any] | None = None  # the first refused line found so far
        for future in as_completed(futures):
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
            count(record)
            if on_progress is not None:
                on_progress(replace(state))
        if bad is not None:
            task = tasks[bad["index"]]
            line = _line_number(task, bad["bad_line"])
            name = inputs[task.input_index].given
            if bad.get("offset") is not None:
                raise InvalidUtf8(name, line, bad["offset"])
            raise ToolError(f"{name}:{line}: {bad['reason']}")
    finally:
        if futures:
            client.cancel(futures)
        if own_client:
            client.close()
            if cluster is not None:
                cluster.close()
