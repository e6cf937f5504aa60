"""The Dask cluster an encode-corpus run starts on this machine."""

from __future__ import annotations

import contextlib
import gc
import logging
import os
import resource
import signal
import threading
from collections.abc import Callable, Iterator
from typing import Any

from velkor_tools.errors import ToolError

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


@contextlib.contextmanager
def remembered_interrupts() -> Iterator[Callable[[], None]]:
    """A check that raises KeyboardInterrupt once Ctrl-C has come.

    The interrupt is raised where it lands as well, except inside a callback
    of the garbage collector (Dask installs one): raised there, it would be
    printed and dropped, and the run would go on to its end as if never
    stopped. The check raises it at the next shard instead.
    """
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield lambda: None  # not ours to catch, or ignored
        return
    seen = False

    def handler(number: int, frame: Any) -> None:
        nonlocal seen
        seen = True
        if not _in_gc_callback(frame):
            previous(number, frame)

    def check() -> None:
        if seen:
            raise KeyboardInterrupt

    signal.signal(signal.SIGINT, handler)
    try:
        yield check
    finally:
        signal.signal(signal.SIGINT, previous)


def _in_gc_callback(frame: Any) -> bool:
    """Whether frame runs inside one of the garbage collector's callbacks."""
    codes = {getattr(getattr(callback, "__func__", callback), "__code__", None) for callback in gc.callbacks}
    while frame is not None:
        if frame.f_code in codes:
            return True
        frame = frame.f_back
    return False


def _open_files_for(workers: int) -> None:
    """Raises the soft open-file limit (up to the hard one) to what `workers`
    local workers need, as Dask's own scheduler command does: the scheduler
    runs in this process and holds about ten descriptors per worker. Short of
    descriptors, the cluster fails to start or its scheduler loops for ever on
    failed accepts; a hard limit too low for them all is refused here instead."""
    least, wanted = 32 + 10 * workers, 64 + 16 * workers
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or soft >= wanted:
        return
    limit = wanted if hard == resource.RLIM_INFINITY else min(hard, wanted)
    if limit > soft:
        with contextlib.suppress(OSError, ValueError):
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
            soft = limit
    if soft < least:
        fit = (soft - 32) // 10
        advice = f"give --workers {fit} or fewer" if fit >= 1 else "raise it"
        raise ToolError(f"the open-file limit (ulimit -n) of {soft} is too low for {workers} local workers; {advice}")


def local_cluster(workers: int) -> Any:
    """A LocalCluster of single-threaded worker processes, set up as
    LOCAL_CLUSTER_CONFIG says. Processes, although the Tokenizer releases the
    interpreter lock and one process of Dask threads measured faster on two
    cores: a worker killed mid-task then loses its own tasks only, and the
    job's recovery from that is built around processes."""
    import dask
    from dask.distributed import LocalCluster

    _open_files_for(workers)
    try:
        os.getcwd()  # the workers start there: a removed one fails them, and their helpers print tracebacks
    except FileNotFoundError:
        raise ToolError(f"cannot start a local Dask cluster of {workers} workers: "
                        "the current directory no longer exists (cd to one that does)") from None
    # The worker processes start with SIGINT ignored (and keep it so): Ctrl-C
    # reaches the whole process group, and only this process should act on it,
    # closing the cluster, rather than every worker printing its traceback.
    main = threading.current_thread() is threading.main_thread()  # else signals are not ours to set
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    try:
        with dask.config.set(LOCAL_CLUSTER_CONFIG):  # the workers take the settings with them
            return LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address="127.0.0.1:0",  # no fixed port: another cluster may hold it
                # No dashboard (nothing here reads it): two clusters starting at
                # once race on its lazy import inside Dask, and one fails to start.
                scheduler_kwargs={"dashboard": False},
                silence_logs=logging.CRITICAL,  # a failed task is reported once, by _run_tasks
            )
    finally:
        if main:
            signal.signal(signal.SIGINT, previous)
