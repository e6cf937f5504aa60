"""`velkor encode-corpus` throughput, overhead, a hand-started cluster and worker memory.

Usage: python bench/encode_corpus_bench.py [--runs 3] [--big-mb 1000] [--skip-big] [--quick]

1. The benchmark corpus (bench/corpus.py, about 18 MB; --copies of it, 4 by
   default, so that shards of 4 MB give 18 tasks) encoded by the command's
   LocalCluster of 1 and of 2 workers: MB/s of input by wall time, and by the
   workers' CPU time; the CPU time of this process, which runs the client, the
   scheduler and the workers' nannies, beside it. The cluster's start is not
   timed (it is printed apart).
2. Dask threads against processes: the same job on one worker process of as
   many Dask threads as cores, and on threads inside this process
   (LocalCluster(processes=False), whose "worker CPU" is this whole process),
   against the command's one single-threaded process per core. Each task
   encodes on one native thread in every layout.
3. The same documents through a plain loop of Data.encode in one process
   (read, split into lines, encode), against `--workers 1`.
   Parts 1 to 3 are repeated --runs times, interleaved, and the medians printed.
4. The same job on a cluster started by hand (`dask scheduler`, `dask worker
   --nworkers 2`), with Dask's defaults and with the LocalCluster's settings
   in a Dask config file: the directory must equal the LocalCluster's.
5. Peak resident memory of each worker on a --big-mb input (the corpus
   repeated), with shards of 64 and of 16 MB.

The model is trained by velkor on the corpus itself. The machine has 2 cores
that other work may share, so CPU times are printed beside wall times.
--quick (to see that it works, not for figures): one copy of the corpus in
shards of 1 MB, one run, no memory test.
"""

from __future__ import annotations

import argparse
import filecmp
import json
import logging
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from statistics import median

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus as bench_corpus  # noqa: E402

import velkor  # noqa: E402
import yaml  # noqa: E402 - comes with Dask
from distributed import Client  # noqa: E402

from velkor_tools.corpus.cluster import LOCAL_CLUSTER_CONFIG, local_cluster  # noqa: E402
from velkor_tools.corpus.run import encode_corpus  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "encode-corpus-bench"
CORES = len(os.sched_getaffinity(0))
# The layouts timed in every run: workers (processes) of one thread each, as
# the command starts them, and Dask threads.
LAYOUTS = {
    1: "LocalCluster, 1 worker",
    2: "LocalCluster, 2 workers",
    "threads": f"LocalCluster, 1 worker process of {CORES} Dask threads",
    "in-process": f"LocalCluster(processes=False), {CORES} Dask threads in this process",
}

# What this process's own CPU time covers in each layout.
OWN_CPU = {
    1: "client, scheduler and nannies",
    "in-process": "this process (client, scheduler and the worker's threads)",
}


def cluster_for(layout: int | str):
    """The command's LocalCluster of `layout` workers, or Dask threads (with
    the same settings) on every core."""
    if isinstance(layout, int):
        return local_cluster(layout)
    import dask
    from distributed import LocalCluster

    with dask.config.set(LOCAL_CLUSTER_CONFIG):
        return LocalCluster(
            n_workers=1, threads_per_worker=CORES, processes=layout == "threads",
            dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
        )


def train_model(text: Path) -> Path:
    """A model trained on the corpus, cached beside the corpus copies."""
    model = BUILD / "tokenizer"
    if not model.exists():
        BUILD.mkdir(parents=True, exist_ok=True)
        script = (
            "import sys, velkor\n"
            "open('base', 'wb').write(bytes.fromhex(sys.argv[1]))\n"
            "velkor.load_from_file('base').train(sys.argv[2], False, 'train.log')\n"
        )
        minimal = "0100000000000000" + "00" * 18 + "0100000000000000" + "0300000000000000" + "6f6f76" + "0000"
        subprocess.run(
            [sys.executable, "-c", script, minimal, str(text)], cwd=BUILD, check=True, stdout=subprocess.DEVNULL
        )
    return model


def workers_cpu(client: Client) -> dict[str, float]:
    def cpu() -> float:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    return client.run(cpu)


def _status_mib(field: str) -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak() -> float:
    Path("/proc/self/clear_refs").write_text("5")  # the peak (VmHWM) starts again from now
    return _status_mib("VmRSS")


def workers_rss_mib(client: Client, reset: bool) -> list[float]:
    """Each worker's resident memory now (and resets its peak), or its peak since the reset."""
    return sorted(client.run(_reset_peak if reset else _status_mib, *(() if reset else ("VmHWM",))).values())


def timed_run(client: Client, model: Path, inputs: list[Path], out: Path, shard_mb: float) -> dict[str, float]:
    """Wall seconds, worker CPU seconds and this process's CPU seconds of one
    encode-corpus run on client."""
    before = workers_cpu(client)
    started, own = time.perf_counter(), time.process_time()
    manifest = encode_corpus(
        str(model), [str(path) for path in inputs], str(out), client=client, shard_bytes=int(shard_mb * 1e6)
    )
    wall, own = time.perf_counter() - started, time.process_time() - own
    after = workers_cpu(client)
    cpu = sum(after[name] - before.get(name, 0.0) for name in after)
    return {"wall": wall, "cpu": cpu, "client": own, "bytes": manifest["bytes"], "tokens": manifest["tokens"]}


def plain_loop(model: Path, text: Path) -> dict[str, float]:
    """One process: read the file, cut it into lines, Data.encode each."""
    data = velkor.load_from_file(str(model))
    cpu0, started = time.process_time(), time.perf_counter()
    tokens = 0
    with open(text, "rb") as file:
        for line in file.read().split(b"\n")[:-1]:
            tokens += len(data.encode(line.removesuffix(b"\r").decode("utf-8")))
    return {"wall": time.perf_counter() - started, "cpu": time.process_time() - cpu0, "tokens": tokens}


def ratios(results: dict) -> dict[str, float]:
    """Speed ratios (higher: the first named is faster)."""
    one, two, loop = results[1], results[2], results["loop"]
    threads, inside = results["threads"], results["in-process"]
    return {
        "2w/1w wall": one["wall"] / two["wall"],
        "2w/1w cpu": one["cpu"] / two["cpu"],
        "1w/loop wall": loop["wall"] / one["wall"],
        "1w/loop cpu": loop["cpu"] / one["cpu"],
        "threads/processes wall": two["wall"] / threads["wall"],
        "threads/processes cpu": two["cpu"] / threads["cpu"],
        "in-process/processes wall": two["wall"] / inside["wall"],
    }


def report(size: float, results: dict, ratio: dict[str, float]) -> None:
    """Prints MB/s by wall and per CPU second, and the ratios the figures are about."""
    for layout, name in LAYOUTS.items():
        result = results[layout]
        print(
            f"  {name}: {size / result['wall']:.1f} MB/s wall, "
            f"{size / result['cpu']:.1f} MB/s per worker CPU second ({result['wall']:.2f} s, "
            f"{result['cpu']:.2f} worker CPU s, {result['client']:.2f} CPU s in {OWN_CPU.get(layout, OWN_CPU[1])}; "
            f"cluster start {result['start']:.1f} s, not timed)"
        )
    loop = results["loop"]
    print(
        f"  plain Data.encode loop, one process: {size / loop['wall']:.1f} MB/s wall, "
        f"{size / loop['cpu']:.1f} MB/s per CPU second"
    )
    print(
        f"  2 workers / 1 worker: {ratio['2w/1w wall']:.2f}x by wall, {ratio['2w/1w cpu']:.2f}x per CPU second; "
        f"--workers 1 / plain loop: {ratio['1w/loop wall']:.2f}x by wall, {ratio['1w/loop cpu']:.2f}x by CPU"
    )
    print(
        f"  Dask threads / processes ({CORES} threads in 1 worker process against {CORES} workers): "
        f"{ratio['threads/processes wall']:.2f}x by wall, {ratio['threads/processes cpu']:.2f}x per worker CPU "
        f"second; threads in this process / processes: {ratio['in-process/processes wall']:.2f}x by wall"
    )


def same_directory(first: Path, second: Path) -> bool:
    names = sorted(path.name for path in first.iterdir())
    if names != sorted(path.name for path in second.iterdir()):
        return False
    return all(filecmp.cmp(first / name, second / name, shallow=False) for name in names)


def by_hand_cluster(model: Path, text: Path, reference: Path, work: Path, shard_mb: float, tuned: bool) -> None:
    """A scheduler and two workers started by hand: with Dask's defaults, or
    (tuned) with a Dask config file holding the LocalCluster's settings."""
    dask = str(Path(sys.executable).with_name("dask"))
    environment = dict(os.environ)
    if tuned:
        tree: dict = {}
        for key, value in LOCAL_CLUSTER_CONFIG.items():
            *parents, leaf = key.split(".")
            node = tree
            for parent in parents:
                node = node.setdefault(parent, {})
            node[leaf] = value
        (work / "dask-config").mkdir(exist_ok=True)
        (work / "dask-config" / "velkor.yaml").write_text(yaml.safe_dump(tree))
        environment["DASK_CONFIG"] = str(work / "dask-config")
    address_file = work / "scheduler.json"
    address_file.unlink(missing_ok=True)
    scheduler = subprocess.Popen(
        [dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
         "--scheduler-file", str(address_file)],
        stderr=subprocess.DEVNULL,
        env=environment,
    )
    worker = None
    out = work / "by-hand"
    shutil.rmtree(out, ignore_errors=True)
    try:
        while not address_file.exists():
            time.sleep(0.1)
        time.sleep(0.2)
        address = json.loads(address_file.read_text())["address"]
        worker = subprocess.Popen(
            [dask, "worker", address, "--nworkers", "2", "--nthreads", "1"], stderr=subprocess.DEVNULL, env=environment
        )
        with Client(address) as client:
            client.wait_for_workers(2, timeout=120)
            result = timed_run(client, model, [text], out, shard_mb)
        mb = result["bytes"] / 1e6
        print(
            f"hand-started cluster (dask scheduler + dask worker --nworkers 2), "
            f"{'with the LocalCluster settings in a Dask config file' if tuned else 'Dask defaults'}: "
            f"{mb / result['wall']:.1f} MB/s wall, {mb / result['cpu']:.1f} MB/s per worker CPU second; "
            f"directory equals the LocalCluster's: {same_directory(out, reference)}"
        )
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                process.wait(timeout=60)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--big-mb", type=int, default=1000, help="size of the memory test's input")
    parser.add_argument("--skip-big", action="store_true")
    parser.add_argument("--runs", type=int, default=3, help="repetitions of parts 1 to 3")
    parser.add_argument("--shard-mb", type=float, default=4.0, help="shard size of parts 1 to 4")
    parser.add_argument("--copies", type=int, default=4, help="copies of the corpus in the input of parts 1 to 4")
    parser.add_argument("--quick", action="store_true", help="--copies 1 --shard-mb 1 --runs 1 --skip-big")
    args = parser.parse_args()
    if args.quick:
        args.copies, args.shard_mb, args.runs, args.skip_big = 1, 1.0, 1, True

    corpus = bench_corpus.build()["full"]
    model = train_model(corpus)
    text = BUILD / f"full-x{args.copies}.txt"
    if not text.exists():
        text.write_bytes(corpus.read_bytes() * args.copies)
    size = text.stat().st_size / 1e6
    print(f"corpus {text} ({size:.2f} MB), model {model.stat().st_size} bytes, shards of {args.shard_mb} MB")

    with tempfile.TemporaryDirectory(prefix="velkor-corpus-bench-") as scratch:
        work = Path(scratch)
        runs: list[dict[str, dict[str, float]]] = []
        for number in range(args.runs):
            results = {}
            for layout in LAYOUTS:
                out = work / f"local-{layout}"
                shutil.rmtree(out, ignore_errors=True)
                started = time.perf_counter()
                with cluster_for(layout) as cluster, Client(cluster) as client:
                    client.wait_for_workers(layout if isinstance(layout, int) else 1)
                    start = time.perf_counter() - started
                    results[layout] = timed_run(client, model, [text], out, args.shard_mb) | {"start": start}
            results["loop"] = plain_loop(model, text)
            assert results["loop"]["tokens"] == results[1]["tokens"]
            for layout in LAYOUTS:
                assert same_directory(work / "local-1", work / f"local-{layout}"), f"{layout} wrote another directory"
            runs.append(results)
            print(f"run {number + 1}: load average {os.getloadavg()[0]:.1f}")
            report(size, results, ratios(results))
        if args.runs > 1:
            print(f"medians of {args.runs} runs (the ratios: medians of each run's ratio):")
            middle = {key: {name: median(run[key][name] for run in runs) for name in runs[0][key]} for key in runs[0]}
            each = [ratios(run) for run in runs]
            report(size, middle, {name: median(ratio[name] for ratio in each) for name in each[0]})
        for tuned in (False, True):
            by_hand_cluster(model, text, work / "local-2", work, args.shard_mb, tuned)

        if not args.skip_big:
            big = BUILD / f"big-{args.big_mb}.txt"
            if not big.exists() or big.stat().st_size < args.big_mb * 1e6:
                with open(big, "wb") as out:
                    chunk = corpus.read_bytes()
                    while out.tell() < args.big_mb * 1e6:
                        out.write(chunk)
            for shard_mb in (64, 16):
                with local_cluster(2) as cluster, Client(cluster) as client:
                    client.wait_for_workers(2)
                    baseline = workers_rss_mib(client, reset=True)
                    result = timed_run(client, model, [big], work / f"big-{shard_mb}", shard_mb)
                    peak = workers_rss_mib(client, reset=False)
                mb = result["bytes"] / 1e6
                print(
                    f"{mb:.0f} MB input, shards of {shard_mb} MB, 2 workers: {mb / result['wall']:.1f} MB/s wall; "
                    f"worker peak RSS {', '.join(f'{value:.0f}' for value in peak)} MiB "
                    f"(at the start: {', '.join(f'{value:.0f}' for value in baseline)} MiB)"
                )


if __name__ == "__main__":
    main()
