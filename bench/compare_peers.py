"""Side-by-side benchmark of velkor against SentencePiece, HF tokenizers,
bpe-openai and tiktoken.

One command:  .venv/bin/python bench/compare_peers.py [--quick]

It installs the peers (sentencepiece, tokenizers, bpe-openai, tiktoken) into
the running interpreter's environment if they are missing, builds the corpus
(bench/corpus.py, cached under build/bench-corpus/) and prints one Markdown
table (docs/benchmarks.md's), with the peers' versions and the machine's load. One
thread each (OMP_NUM_THREADS=1, RAYON_NUM_THREADS=1, num_threads=1), and
every tool on its fastest single-thread path:

- training: CPU time and peak resident memory of a child process
  (bench/peer_worker.py, which imports nothing but json, os, sys, time and
  the measured library, the same for every tool) that trains on the corpus
  (CPU time from wait4 on that child alone; peak memory from the child's own
  VmHWM, because Linux carries ru_maxrss over from the parent across exec).
  velkor trains from the 47-byte
  starter tokenizer (only the reserved "oov" entry); sentencepiece and HF
  tokenizers train BPE models with the vocabulary size velkor ended with, so
  all three have the same number of tokens. Runs alternate between the
  tools. bpe-openai and tiktoken do not train: they encode with OpenAI's
  cl100k_base, which bpe-openai's wheel carries; tiktoken would download it
  at run time and is given that copy instead (checked against tiktoken's own
  hash), or shows n/a with the reason.
- encoding and decoding, two workloads on an English and a mixed-script
  text: whole files (velkor one call on the whole text, sentencepiece and HF
  tokenizers their batch calls over the file's lines: sentencepiece
  encode(list, num_threads=1), HF tokenizers encode_batch; tiktoken one
  encode_ordinary call; bpe-openai encode_ordinary on pieces of about 40 KB
  cut at line ends, as it refuses a call of 1,000,000 characters or 200,000
  tokens) and documents of about 2 KB (velkor, tiktoken and bpe-openai one
  call per document, sentencepiece and HF one batch call over all of them).
  Decoding takes the ids of that encode the same way. Each figure is the
  FIRST call in a fresh process (no warm-up), best of --runs processes,
  interleaved between the tools; a second call is reported apart. HF's ids
  are read out of its Encoding objects inside the timing, as the others
  return plain lists. The rows "velkor_tools encode_to_numpy" put
  velkor_tools.Tokenizer.encode_to_numpy (a uint16 array, no list) in the
  velkor column, the same workloads, beside the peers' figures.
- all cores: each tool's batch call over the file's lines and over the 2 KB
  documents, on every core this process may use, per WALL second (CPU time
  says nothing of threads), the first call in a fresh process, best of
  --runs, interleaved: velkor_tools encode_batch_to_numpy(num_threads=cores),
  sentencepiece encode(list, num_threads=cores), HF tokenizers
  encode_batch_fast (Rayon's pool on every core, TOKENIZERS_PARALLELISM=true),
  tiktoken and bpe-openai encode_ordinary_batch(num_threads=cores).

Peer settings: SentencePiece BPE with the identity normaliser and no
whitespace folding (velkor rewrites nothing either), character_coverage=1.0,
every input line used (no sampling); it trains on lines, so a line feed is
not in its vocabulary and comes back from decode as " \u2047 " (hence "no" in
its round-trip row). HF tokenizers: a BPE model with the Metaspace
pre-tokenizer and decoder, no normaliser. Throughput is MB (1e6 bytes) of
UTF-8 per CPU second of the measuring process (per wall second with
--wall-clock): with one thread each the two agree on an idle machine, and
CPU time keeps other load on a shared box out of the numbers.

Every measurement runs in a child process, so a crash or a missing module
turns into "n/a" in the table instead of ending the run. --quick trains on a
3 MB subset (the English text encoded, then mixed text; one velkor chunk) and encodes 1 MB texts, one
run each. --merge-bench adds the C++ merge loop bench (incremental against
straightforward form); --compression adds bytes per token at equal
vocabulary sizes (bench/compression.py).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
from peer_worker import DOCUMENT_BYTES  # noqa: E402
from velkor_tools.model import STARTER_MODEL  # noqa: E402

WORKER = HERE / "peer_worker.py"

TOOLS = ("velkor", "sentencepiece", "hf-tokenizers", "bpe-openai", "tiktoken")
PEERS = TOOLS[1:]
TRAINED = TOOLS[:3]  # the others come with OpenAI's cl100k_base vocabulary
PEER_PACKAGES = {"sentencepiece": "sentencepiece", "tokenizers": "tokenizers",
                 "tiktoken": "tiktoken", "bpe_openai": "bpe-openai"}
DISTRIBUTIONS = {"sentencepiece": "sentencepiece", "hf-tokenizers": "tokenizers",
                 "bpe-openai": "bpe-openai", "tiktoken": "tiktoken"}
OPENAI_ENCODING = "cl100k_base"
# velkor_tools.Tokenizer.encode_to_numpy, measured apart and shown in the
# velkor column of its own rows.
NUMPY = "velkor_tools"

ONE_THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "RAYON_NUM_THREADS": "1",
    "RAYON_RS_NUM_CPUS": "1",
    "TOKENIZERS_PARALLELISM": "false",
    "MKL_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
}
# The all-cores rows: every pool at its default size (HF tokenizers' Rayon
# takes every core), and HF told that parallelism is wanted.
ALL_CORES_ENV = {"TOKENIZERS_PARALLELISM": "true"}

# velkor reads its training file in chunks of this many bytes and learns up
# to this many merges per chunk; used only to estimate a vocabulary size when
# velkor itself cannot train.
VELKOR_CHUNK = 3_067_833
VELKOR_MERGES_PER_CHUNK = 700
MAX_VOCAB = 65_536


QUICK_TRAIN_BYTES = 3_000_000
QUICK_EVAL_BYTES = 1_000_000
WORKLOADS = ("files", "docs")
BATCH_WORKLOADS = ("lines", "docs")
WORKLOAD_NAMES = {"files": "whole file", "docs": "2 KB documents", "lines": "lines"}
# velkor_tools' encode_to_numpy against bpe-openai's and tiktoken's single
# thread: the aim.
NUMPY_AIM = 1.5


# ---------------------------------------------------------------------------
# Parent side.


class Outcome:
    """A child's result, its resource use, or why it has none."""

    def __init__(self, result=None, error=None, wall=0.0, cpu=0.0, maxrss_kib=0):
        self.result = result
        self.error = error
        self.wall = wall
        self.cpu = cpu
        self.maxrss_kib = maxrss_kib

    @property
    def ok(self) -> bool:
        return self.error is None


def run_child(task: dict, workdir: Path, timeout: float, all_cores: bool = False) -> Outcome:
    name = f"{task['kind']}-{task.get('tool', '')}".rstrip("-")
    task = dict(task, result=str(workdir / f"{name}.result.json"))
    task_file = workdir / f"{name}.task.json"
    task_file.write_text(json.dumps(task))
    Path(task["result"]).unlink(missing_ok=True)
    stderr_path = workdir / f"{name}.stderr"
    if all_cores:
        env = {k: v for k, v in os.environ.items() if k not in ONE_THREAD_ENV}
        env.update(ALL_CORES_ENV)
    else:
        env = dict(os.environ, **ONE_THREAD_ENV)
    with open(stderr_path, "wb") as stderr:
        start = time.perf_counter()
        proc = subprocess.Popen(
            [sys.executable, str(WORKER), str(task_file)],
            stdin=subprocess.DEVNULL,
            stdout=stderr,
            stderr=stderr,
            env=env,
            cwd=str(workdir),
        )
        # wait4 gives this child's own rusage, not the sum over all children.
        deadline = start + timeout
        status = usage = None
        timed_out = False
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() > deadline:
                proc.kill()
                _, status, usage = os.wait4(proc.pid, 0)
                timed_out = True
                break
            time.sleep(0.02)
        proc.returncode = os.waitstatus_to_exitcode(status)
        wall = time.perf_counter() - start
    cpu = usage.ru_utime + usage.ru_stime
    outcome = Outcome(wall=wall, cpu=cpu, maxrss_kib=usage.ru_maxrss)
    if timed_out:
        outcome.error = f"timed out after {timeout:.0f} s"
    elif proc.returncode != 0 or not Path(task["result"]).exists():
        tail = stderr_path.read_text("utf-8", "replace").strip().splitlines()[-1:] or [""]
        outcome.error = f"exit {proc.returncode}: {tail[0][:160]}"
    else:
        outcome.result = json.loads(Path(task["result"]).read_text())
        outcome.maxrss_kib = outcome.result.pop("peak_kib", outcome.maxrss_kib)
    return outcome


def ensure_peers() -> None:
    missing = [pkg for mod, pkg in PEER_PACKAGES.items() if importlib.util.find_spec(mod) is None]
    if missing:
        print(f"installing peers into {sys.prefix}: {' '.join(missing)}", flush=True)
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "-q", *missing], check=True
        )


def openai_models(workdir: Path) -> tuple[dict[str, str | None], dict[str, str]]:
    """The models of bpe-openai and tiktoken, or None and why not.

    bpe-openai ships OpenAI's vocabularies in its wheel. tiktoken downloads
    them at run time, which this benchmark never does: it gets bpe-openai's
    copy of the ranks, which it checks against its own hash.
    """
    models: dict[str, str | None] = {"bpe-openai": None, "tiktoken": None}
    why: dict[str, str] = {}
    spec = importlib.util.find_spec("bpe_openai")
    packed = (Path(next(iter(spec.submodule_search_locations))) / "data" / f"{OPENAI_ENCODING}.tiktoken.gz"
              if spec and spec.submodule_search_locations else None)
    if packed is None or not packed.is_file():
        why["bpe-openai"] = f"bpe-openai with its bundled {OPENAI_ENCODING} is not installed"
    else:
        models["bpe-openai"] = OPENAI_ENCODING
    if importlib.util.find_spec("tiktoken") is None:
        why["tiktoken"] = "tiktoken is not installed"
    elif models["bpe-openai"] is None:
        why["tiktoken"] = (f"tiktoken downloads {OPENAI_ENCODING} at run time, and no offline copy "
                           f"(bpe-openai's) is here")
    else:
        import gzip

        ranks = workdir / f"{OPENAI_ENCODING}.tiktoken"
        ranks.write_bytes(gzip.decompress(packed.read_bytes()))
        models["tiktoken"] = str(ranks)
    return models, why


def estimate_vocab(train_file: Path) -> int:
    text = train_file.read_text("utf-8", "replace")
    chunks = max(1, math.ceil(len(text.encode()) / VELKOR_CHUNK))
    return min(MAX_VOCAB - 1, len(set(text)) + 1 + VELKOR_MERGES_PER_CHUNK * chunks)


def find_merge_bench() -> Path | None:
    for root in ("build/bench", "build/perf"):
        base = REPO / root
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("merge_bench")):
            if path.is_file() and os.access(path, os.X_OK):
                return path
    return None


def build_merge_bench() -> Path | None:
    """Builds or updates merge_bench as `make bench` does (build/bench).

    Returns the binary, or None when it cannot be built here.
    """
    # The venv's cmake and ninja come first, as in the Makefile.
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    if not (REPO / "bench" / "merge_bench.cpp").exists() or not shutil.which("cmake", path=path):
        return None
    env = dict(os.environ, PATH=path)
    build = REPO / "build" / "bench"
    print("\nbuilding merge_bench into build/bench ...", flush=True)
    steps = [
        ["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DVELKOR_BUILD_EXTENSION=OFF", "-DVELKOR_BUILD_BENCH=ON"],
        ["cmake", "--build", str(build), "--target", "merge_bench", "-j", "2"],
    ]
    for step in steps:
        if subprocess.run(step, env=env, capture_output=True, check=False).returncode != 0:
            print(f"  failed: {' '.join(step)}", flush=True)
            return None
    binary = build / "merge_bench"
    return binary if binary.exists() else None


def parse_merge_bench(output: str) -> dict:
    """Picks the two 700-merge times out of merge_bench's report, in ms."""
    import re

    found = {}
    incremental = re.search(r"pair index: (\d+) merges in ([\d.]+) ms", output)
    plain = re.search(r"full recount: (\d+) merges ~ ([\d.]+) ms", output)
    if incremental:
        found["merges"] = int(incremental.group(1))
        found["incremental_ms"] = float(incremental.group(2))
    if plain:
        found["straightforward_ms"] = float(plain.group(2))
    return found


def run_merge_bench(binary: Path, train_file: Path, timeout: float) -> tuple[str, str]:
    """Runs the C++ merge loop bench; returns (status, its output)."""
    env = dict(os.environ, **ONE_THREAD_ENV, VELKOR_BENCH_CORPUS=str(train_file))
    try:
        proc = subprocess.run(
            [str(binary), str(train_file)],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
            check=False,
        )
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout:.0f} s", ""
    status = "ok" if proc.returncode == 0 else f"exit {proc.returncode}"
    return status, (proc.stdout + proc.stderr).strip()


# -- table ------------------------------------------------------------------


def _fmt(value) -> str:
    if value is None:
        return "n/a"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}"
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def _ratio(a, b) -> str:
    if a is None or b is None or isinstance(a, bool) or not b:
        return "n/a"
    return f"{a / b:.2f}x"


def markdown_table(headers: list[str], rows: list[tuple[str, bool, dict]]) -> str:
    """rows: (label, with ratios, {tool: value}); one column per tool, then velkor/peer."""
    lines = ["| " + " | ".join(headers) + " |", "|---" * len(headers) + "|"]
    for label, ratios, values in rows:
        cells = [label, *(_fmt(values.get(t)) for t in TOOLS)]
        cells += [_ratio(values.get("velkor"), values.get(p)) if ratios else "" for p in PEERS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def peer_versions() -> dict[str, str]:
    from importlib import metadata

    versions = {}
    for tool, package in DISTRIBUTIONS.items():
        try:
            versions[tool] = metadata.version(package)
        except metadata.PackageNotFoundError:
            versions[tool] = "?"
    return versions


def best(outcomes: list[Outcome], fn):
    """Best (largest) figure over the runs that succeeded, or None."""
    values = [fn(o) for o in outcomes if o.ok]
    return max(values) if values else None


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Benchmark velkor against sentencepiece, HF tokenizers, bpe-openai and tiktoken."
    )
    parser.add_argument("--quick", action="store_true",
                        help="train on a 3 MB subset, encode 1 MB texts, one run each")
    parser.add_argument("--eval-bytes", type=int, default=None,
                        help="size of the English and mixed texts (default: the whole files)")
    parser.add_argument("--runs", type=int, default=None,
                        help="fresh processes per codec and batch measurement (default 3, --quick 1)")
    parser.add_argument("--train-runs", type=int, default=None,
                        help="training runs per tool (default 2, --quick 1)")
    parser.add_argument("--timeout", type=float, default=3600,
                        help="seconds allowed to each child process")
    parser.add_argument("--wall-clock", action="store_true",
                        help="throughput per wall second instead of per CPU second")
    parser.add_argument("--merge-bench", action="store_true",
                        help="also build and run the C++ merge loop bench (incremental vs "
                             "straightforward form)")
    parser.add_argument("--no-build", action="store_true",
                        help="with --merge-bench: use whatever binary is in build/")
    parser.add_argument("--keep", metavar="DIR",
                        help="work in DIR and keep the trained models there")
    parser.add_argument("--json", metavar="PATH", help="also write all numbers to PATH")
    parser.add_argument("--compression", action="store_true",
                        help="also print the compression table (bench/compression.py)")
    args = parser.parse_args()
    runs = args.runs or (1 if args.quick else 3)
    train_runs = args.train_runs or (1 if args.quick else 2)

    ensure_peers()
    versions = peer_versions()
    load_start = os.getloadavg()
    files = corpus.build()
    print("corpus:")
    print(corpus.describe(files))

    if args.keep:
        workdir = Path(args.keep).resolve()
        workdir.mkdir(parents=True, exist_ok=True)
        cleanup = None
    else:
        cleanup = tempfile.TemporaryDirectory(prefix="velkor-bench-")
        workdir = Path(cleanup.name)

    eval_bytes = args.eval_bytes or (QUICK_EVAL_BYTES if args.quick else None)
    if args.quick:
        # The English text encoded and the rest mixed: every character encoded
        # is one the models saw, so the round trip holds as on the full corpus.
        english = corpus.prefix(files["english"].read_text("utf-8"), eval_bytes or QUICK_EVAL_BYTES)
        mixed = corpus.prefix(files["mixed"].read_text("utf-8"), max(0, QUICK_TRAIN_BYTES - len(english.encode())))
        train_file = workdir / "train-quick.txt"
        train_file.write_text(english + "\n" + mixed, "utf-8")
    else:
        train_file = files["full"]
    texts = {}
    for label in ("english", "mixed"):
        if eval_bytes is None:
            texts[label] = str(files[label])
            continue
        path = workdir / f"eval-{label}.txt"
        path.write_text(corpus.prefix(files[label].read_text("utf-8"), eval_bytes), "utf-8")
        texts[label] = str(path)
    train_mb = train_file.stat().st_size / 1e6
    sizes = {label: Path(path).stat().st_size / 1e6 for label, path in texts.items()}
    print(f"\ntraining on {train_file.name} ({train_mb:.2f} MB); encoding "
          + ", ".join(f"{label} {mb:.2f} MB" for label, mb in sizes.items())
          + f"; one thread each; {runs} fresh process(es) per codec figure", flush=True)

    report: dict = {"train_file": str(train_file), "train_mb": train_mb, "texts": texts,
                    "versions": versions}
    train: dict[str, list[Outcome]] = {t: [] for t in TOOLS}

    # velkor first: its vocabulary size is the target for the peers. The
    # runs alternate between the tools so that load on the machine falls on
    # all of them alike.
    def train_one(tool: str, run: int, vocab: int | None) -> Outcome:
        out = workdir / f"{tool}-{run}"
        out.mkdir(exist_ok=True)
        task = {"kind": f"train-{tool}", "tool": tool, "corpus": str(train_file), "out": str(out)}
        if tool == "velkor":
            task["starter"] = str(out / "starter.tokenizer")
            Path(task["starter"]).write_bytes(STARTER_MODEL)
        if vocab is not None:
            task["vocab_size"] = vocab
        print(f"training {tool} (run {run + 1}) ...", flush=True)
        outcome = run_child(task, workdir, args.timeout)
        if not outcome.ok:
            print(f"  {tool}: n/a ({outcome.error})")
        return outcome

    train["velkor"].append(train_one("velkor", 0, None))
    first = train["velkor"][0]
    if first.ok:
        vocab = first.result["vocab_size"]
        merges = first.result["merges"]
        vocab_note = (f"velkor's vocabulary after training: {vocab - merges - 1:,} clusters"
                      f" + {merges:,} merges + the reserved oov entry")
    else:
        vocab = estimate_vocab(train_file)
        vocab_note = "estimate (distinct code points + 700 per 3 MB chunk): velkor unavailable"
    print(f"matched vocabulary size: {vocab:,} ({vocab_note})")
    report["vocab_size"] = vocab
    report["vocab_note"] = vocab_note
    for run in range(train_runs):
        for tool in TRAINED:
            if tool == "velkor" and run == 0:
                continue
            train[tool].append(train_one(tool, run, None if tool == "velkor" else vocab))

    models = {t: next((o.result["model"] for o in train[t] if o.ok), None) for t in TRAINED}
    openai, missing = openai_models(workdir)
    models.update(openai, **{NUMPY: models["velkor"]})
    for tool, why in missing.items():
        print(f"{tool}: n/a ({why})")
    cores = len(os.sched_getaffinity(0))

    def measure(kind: str, tool: str, workload: str, label: str, run: int) -> Outcome | None:
        if models[tool] is None:
            return None
        print(f"{tool}: {kind} {workload}, {label} (run {run + 1}) ...", flush=True)
        task = {"kind": kind, "tool": tool, "model": models[tool], "workload": workload,
                "text": texts[label], "threads": cores}
        outcome = run_child(task, workdir, args.timeout, all_cores=kind == "batch")
        if not outcome.ok:
            print(f"  n/a ({outcome.error})")
        return outcome

    # The runs alternate between the tools, one thread each, then on all cores.
    codec: dict[tuple, list[Outcome]] = {}
    batch: dict[tuple, list[Outcome]] = {}
    for run in range(runs):
        for kind, results, workloads, tools in (("codec", codec, WORKLOADS, (*TOOLS, NUMPY)),
                                                ("batch", batch, BATCH_WORKLOADS, TOOLS)):
            for workload in workloads:
                for label in texts:
                    for tool in tools:
                        outcome = measure(kind, tool, workload, label, run)
                        results.setdefault((tool, workload, label), [])
                        if outcome is not None:
                            results[(tool, workload, label)].append(outcome)
    load_end = os.getloadavg()

    def per_tool(fn, outcomes_of):
        return {t: best(outcomes_of(t), fn) for t in TOOLS}

    def rate(clock: str):
        return lambda o: o.result["bytes"] / 1e6 / max(o.result[f"encode{clock}"], 1e-9)

    clock = "_s" if args.wall_clock else "_cpu_s"
    unit = "wall" if args.wall_clock else "CPU"
    rows = [
        ("train, MB of corpus per CPU second", True,
         per_tool(lambda o: train_mb / o.cpu, lambda t: train[t])),
        ("train peak RSS, MiB", True,
         {t: (min(o.maxrss_kib for o in train[t] if o.ok) / 1024
              if any(o.ok for o in train[t]) else None) for t in TOOLS}),
    ]
    for direction, field, size_field in (("encode", "encode", "bytes"),
                                         ("decode", "decode", "decoded_bytes")):
        for workload in WORKLOADS:
            for label in texts:
                rows.append((
                    f"{direction} {label}, {WORKLOAD_NAMES[workload]}, MB/s", True,
                    per_tool(lambda o: o.result[size_field] / 1e6 / max(o.result[f"{field}{clock}"], 1e-9),
                             lambda t, w=workload, lb=label: codec[(t, w, lb)])))
    for label in texts:
        rows.append((
            f"encode {label}, whole file, later call, MB/s", True,
            per_tool(lambda o: o.result["bytes"] / 1e6 / max(o.result[f"later_encode{clock}"], 1e-9),
                     lambda t, lb=label: codec[(t, "files", lb)])))
    # velkor_tools' encode_to_numpy in the velkor column, beside the peers' figures above.
    numpy_rows = {}
    for workload in WORKLOADS:
        for label in texts:
            values = per_tool(rate(clock), lambda t, w=workload, lb=label: codec[(t, w, lb)])
            values["velkor"] = best(codec[(NUMPY, workload, label)], rate(clock))
            numpy_rows[(workload, label)] = values
            rows.append((f"encode {label}, {WORKLOAD_NAMES[workload]}, velkor_tools "
                         f"encode_to_numpy, MB/s", True, values))
    for workload in BATCH_WORKLOADS:
        for label in texts:
            rows.append((f"encode {label}, {WORKLOAD_NAMES[workload]}, all {cores} cores, "
                         f"MB per wall second", True,
                         per_tool(rate("_s"), lambda t, w=workload, lb=label: batch[(t, w, lb)])))
    for label in texts:
        rows.append((f"tokens, {label}, whole file", False,
                     per_tool(lambda o: o.result["tokens"], lambda t, lb=label: codec[(t, "files", lb)])))
    rows.append(("decode(encode(t)) == t", False,
                 {t: (all(o.result["roundtrip"] for o in codec[(t, "files", "english")] if o.ok)
                      if models[t] else None) for t in TOOLS}))
    names = {"sentencepiece": "sentencepiece", "hf-tokenizers": "HF tokenizers",
             "bpe-openai": "bpe-openai", "tiktoken": "tiktoken"}
    headers = ["", "velkor", *(f"{names[p]} {versions[p]}" for p in PEERS),
               *(f"velkor / {names[p]}" for p in PEERS)]
    print(f"\nSide by side in one run; MB/s per {unit} second, one thread each, the first call "
          f"in a fresh process, best of {runs} process(es); the all-cores rows MB per wall second "
          f"on {cores} cores, first call in a fresh process, best of {runs}; training best of "
          f"{train_runs}. Training on {train_file.name} ({train_mb:.2f} MB), vocabulary {vocab:,}; "
          f"bpe-openai and tiktoken encode with OpenAI's {OPENAI_ENCODING} (about 100,000 tokens, "
          f"trained elsewhere, not on this corpus: their speed is comparable, their token "
          f"counts are not); texts "
          + ", ".join(f"{label} {mb:.2f} MB" for label, mb in sizes.items())
          + f"; documents of about {DOCUMENT_BYTES:,} bytes. Load average "
          f"{load_start[0]:.1f} at the start, {load_end[0]:.1f} at the end, "
          f"{cores} cores.\n")
    print(markdown_table(headers, rows))
    for tool, why in missing.items():
        print(f"\n{tool}: n/a, {why}.")
    print_numpy_aim(numpy_rows)

    if args.merge_bench:
        run_merge_loop_bench(args, train_file, report)
    if args.compression:
        import compression

        compression.run()

    report["train"] = {t: [vars(o) for o in os_] for t, os_ in train.items()}
    report["codec"] = {"/".join(k): [vars(o) for o in v] for k, v in codec.items()}
    report["batch"] = {"/".join(k): [vars(o) for o in v] for k, v in batch.items()}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2, default=str))
        print(f"\nnumbers written to {args.json}")
    if cleanup is not None:
        cleanup.cleanup()


def print_numpy_aim(numpy_rows: dict[tuple, dict]) -> None:
    """Whether velkor_tools' single-thread encode_to_numpy reaches NUMPY_AIM
    times bpe-openai's and tiktoken's, in every workload."""
    print(f"\nAim: velkor_tools encode_to_numpy, one thread, at least {NUMPY_AIM}x bpe-openai "
          "and tiktoken:")
    verdicts = []
    for peer in ("bpe-openai", "tiktoken"):
        ratios = {key: (values["velkor"] / values[peer] if values["velkor"] and values[peer] else None)
                  for key, values in numpy_rows.items()}
        known = [r for r in ratios.values() if r is not None]
        verdict = "n/a" if len(known) < len(ratios) else ("met" if min(known) >= NUMPY_AIM else "not met")
        verdicts.append(verdict)
        print(f"  {peer}: " + ", ".join(
            f"{label} {WORKLOAD_NAMES[workload]} {'n/a' if r is None else f'{r:.2f}x'}"
            for (workload, label), r in ratios.items()) + f": {verdict}")


def run_merge_loop_bench(args, train_file: Path, report: dict) -> None:
    """The merge loop's two forms are C++ internals, measured by merge_bench,
    brought up to date first (a no-op when it is)."""
    binary = None if args.no_build else build_merge_bench()
    binary = binary or find_merge_bench()
    print("\nvelkor merge loop, incremental vs straightforward form:")
    if binary is None:
        print("  n/a (needs the C++ bench merge_bench: `make bench` builds it into build/bench)")
        report["merge_bench"] = None
        return
    status, output = run_merge_bench(binary, train_file, args.timeout)
    numbers = parse_merge_bench(output)
    inc, plain = numbers.get("incremental_ms"), numbers.get("straightforward_ms")
    print(f"  first chunk of {train_file.name}, {numbers.get('merges', 700)} merges, "
          f"thread CPU time, from {binary.relative_to(REPO)} ({status}):")
    print(f"  incremental (pair index): {_fmt(inc)} ms   straightforward (full recount "
          f"per merge): {_fmt(plain)} ms   straightforward/incremental: {_ratio(plain, inc)}")
    report["merge_bench"] = {"binary": str(binary), "status": status, "output": output, **numbers}


if __name__ == "__main__":
    main()
