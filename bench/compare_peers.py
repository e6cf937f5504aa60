"""Side-by-side benchmark of velkor against SentencePiece and HF tokenizers.

One command:  .venv/bin/python bench/compare_peers.py [--quick]

It installs the peers (sentencepiece, tokenizers) into the running
interpreter's environment if they are missing, builds the corpus
(bench/corpus.py, cached under build/bench-corpus/), and then measures, one
thread each (OMP_NUM_THREADS=1, RAYON_NUM_THREADS=1, SentencePiece
num_threads=1):

- training: wall time, CPU time and peak resident memory of a child process
  that imports the library and trains on the corpus (CPU time from wait4 on
  that child alone; peak memory from the child's own VmHWM, because Linux
  carries ru_maxrss over from the parent across exec). velkor trains from the 47-byte starter tokenizer (only
  the reserved "oov" entry) in a scratch directory. The peers train BPE models
  with the vocabulary size that velkor ended with (distinct grapheme clusters
  + learned merges + the reserved entry), so that all three have the same
  number of tokens.
- encoding throughput (MB of UTF-8 input per second) on an English and a
  mixed-language text, once as one call on the whole text and once line by
  line (velkor in a Python loop, the peers through their batch calls), and
  the number of tokens produced;
- decoding throughput (MB of UTF-8 output per second) of the whole-text ids,
  and whether decode(encode(text)) gives the text back;
- velkor's incremental merge loop against its straightforward form (700
  merges on the first chunk of the training text), read from the C++ bench
  merge_bench, which is built or brought up to date in build/bench as
  `make bench` does (--no-build: use whatever binary is in build/bench or
  build/perf); without one the row reads n/a. The Python module exposes only
  the incremental form.

Peer settings: SentencePiece BPE with the identity normaliser and no
whitespace folding (velkor rewrites nothing either), character_coverage=1.0,
every input line used (no sampling); it trains on lines, so a line feed is
not in its vocabulary and comes back from decode as " \u2047 " (hence "no" in
its round-trip row). HF tokenizers: a BPE model with the Metaspace
pre-tokenizer and decoder, no normaliser. Throughput is MB (1e6 bytes) of
UTF-8 per CPU second of the codec process (per wall second with
--wall-clock), best of repeated runs within --budget seconds; with one thread
each the two agree on an idle machine, and CPU time keeps other load on a
shared box out of the numbers.

Every measurement runs in a child process, so a crash or a missing module
turns into "n/a" in the table instead of ending the run. --quick trains on a
3 MB mixed-language subset (one velkor chunk) and encodes 256 KB texts.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402

TOOLS = ("velkor", "sentencepiece", "hf-tokenizers")
PEERS = ("sentencepiece", "hf-tokenizers")
PEER_PACKAGES = {"sentencepiece": "sentencepiece", "tokenizers": "tokenizers"}

ONE_THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "RAYON_NUM_THREADS": "1",
    "RAYON_RS_NUM_CPUS": "1",
    "TOKENIZERS_PARALLELISM": "false",
    "MKL_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
}

# velkor reads its training file in chunks of this many bytes and learns up
# to this many merges per chunk; used only to estimate a vocabulary size when
# velkor itself cannot train.
VELKOR_CHUNK = 3_067_833
VELKOR_MERGES_PER_CHUNK = 700
MAX_VOCAB = 65_536

# A tokenizer file with only the reserved entries: lookup {0: b""}, no
# merges, unicode_lookup {"oov": 0}.
STARTER_MODEL = (
    struct.pack("<Q", 1)
    + b"\0" * 18
    + struct.pack("<Q", 1)
    + struct.pack("<Q", 3)
    + b"oov"
    + b"\0\0"
)
assert len(STARTER_MODEL) == 47

QUICK_TRAIN_BYTES = 3_000_000
QUICK_EVAL_BYTES = 256 * 1024
FULL_EVAL_BYTES = 1024 * 1024


# ---------------------------------------------------------------------------
# Child side: one task per process, result written as JSON.


def _self_rss_kib() -> int:
    """Peak resident memory of this process image, in KiB.

    VmHWM, not ru_maxrss: Linux carries ru_maxrss across exec, so a child
    spawned from a larger parent would report the parent's peak.
    """
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class _StdoutToFile:
    """Sends fd 1 to a file: velkor prints progress there, not via sys.stdout."""

    def __init__(self, path: Path):
        self.path = path

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(fd, 1)
        os.close(fd)

    def __exit__(self, *exc):
        sys.stdout.flush()
        os.dup2(self.saved, 1)
        os.close(self.saved)


def _train_velkor(task: dict) -> dict:
    import velkor

    out = Path(task["out"])
    starter = out / "starter.tokenizer"
    starter.write_bytes(STARTER_MODEL)
    os.chdir(out)
    data = velkor.load_from_file(str(starter))
    rss_before = _self_rss_kib()
    with _StdoutToFile(out / "train.stdout"):
        start = time.perf_counter()
        data.train(task["corpus"], False, str(out / "train.log"))
        seconds = time.perf_counter() - start
    model = out / "tokenizer"
    if not model.exists():
        raise RuntimeError("training wrote no tokenizer file")
    vocab = len(data.vocab())
    merges = sum(
        1 for line in (out / "train.stdout").read_text("utf-8", "replace").splitlines()
        if line.startswith("Token ")
    )
    reloaded = len(velkor.load_from_file(str(model)).vocab())
    if reloaded != vocab:
        raise RuntimeError(f"saved model has {reloaded} tokens, trained object {vocab}")
    return {
        "seconds": seconds,
        "vocab_size": vocab,
        "merges": merges,
        "model": str(model),
        "rss_before_kib": rss_before,
    }


def _train_sentencepiece(task: dict) -> dict:
    import sentencepiece as spm

    out = Path(task["out"])
    rss_before = _self_rss_kib()
    start = time.perf_counter()
    spm.SentencePieceTrainer.train(
        input=task["corpus"],
        model_prefix=str(out / "sp"),
        model_type="bpe",
        vocab_size=task["vocab_size"],
        character_coverage=1.0,
        input_sentence_size=0,  # every line, no sampling
        shuffle_input_sentence=False,
        max_sentence_length=1 << 16,
        num_threads=1,
        # Compare the learning itself: no NFKC rewrite of the text, no
        # whitespace folding (velkor does neither).
        normalization_rule_name="identity",
        remove_extra_whitespaces=False,
        minloglevel=2,
    )
    seconds = time.perf_counter() - start
    sp = spm.SentencePieceProcessor(model_file=str(out / "sp.model"))
    return {
        "seconds": seconds,
        "vocab_size": sp.get_piece_size(),
        "model": str(out / "sp.model"),
        "rss_before_kib": rss_before,
    }


def _train_hf(task: dict) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    out = Path(task["out"])
    rss_before = _self_rss_kib()
    start = time.perf_counter()
    # Metaspace keeps spaces as a visible mark, so decode restores them
    # (SentencePiece's scheme); no normaliser, as for the others.
    tok = Tokenizer(models.BPE(unk_token="<unk>"))
    tok.pre_tokenizer = pre_tokenizers.Metaspace()
    tok.decoder = decoders.Metaspace()
    trainer = trainers.BpeTrainer(
        vocab_size=task["vocab_size"], special_tokens=["<unk>"], show_progress=False
    )
    tok.train([task["corpus"]], trainer)
    seconds = time.perf_counter() - start
    path = out / "hf.json"
    tok.save(str(path))
    return {
        "seconds": seconds,
        "vocab_size": tok.get_vocab_size(),
        "model": str(path),
        "rss_before_kib": rss_before,
    }


def _codec_api(tool: str, model: str):
    """(encode, decode, encode_lines) for a trained model."""
    if tool == "velkor":
        import velkor

        data = velkor.load_from_file(model)
        return data.encode, data.decode, lambda lines: [data.encode(s) for s in lines]
    if tool == "sentencepiece":
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=model, num_threads=1)
        return (
            lambda s: sp.encode(s, num_threads=1),
            lambda ids: sp.decode(ids),
            lambda lines: sp.encode(lines, num_threads=1),
        )
    if tool == "hf-tokenizers":
        from tokenizers import Tokenizer

        tok = Tokenizer.from_file(model)
        return (
            lambda s: tok.encode(s, add_special_tokens=False).ids,
            lambda ids: tok.decode(ids),
            lambda lines: tok.encode_batch(lines, add_special_tokens=False),
        )
    raise ValueError(tool)


def _timed(fn, arg, budget: float, max_runs: int = 5):
    """Best wall and best CPU time of repeated calls, and the last result.

    At least one call, more while the time spent stays under budget.
    """
    best_wall = best_cpu = math.inf
    spent = 0.0
    result = None
    for _ in range(max_runs):
        wall, cpu = time.perf_counter(), time.process_time()
        result = fn(arg)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
        spent += wall
        if spent >= budget:
            break
    return best_wall, best_cpu, result


def _codec(task: dict) -> dict:
    encode, decode, encode_lines = _codec_api(task["tool"], task["model"])
    results = {}
    for label, path in task["texts"].items():
        text = Path(path).read_text("utf-8")
        size = len(text.encode())
        enc_s, enc_cpu, ids = _timed(encode, text, task["budget"])
        ids = list(ids)
        dec_s, dec_cpu, back = _timed(decode, ids, task["budget"])
        lines = text.splitlines(keepends=True)
        lines_s, lines_cpu, _ = _timed(encode_lines, lines, task["budget"])
        out_size = len(back.encode())
        results[label] = {
            "bytes": size,
            "tokens": len(ids),
            "encode_s": enc_s,
            "encode_cpu_s": enc_cpu,
            "encode_lines_s": lines_s,
            "encode_lines_cpu_s": lines_cpu,
            "decode_s": dec_s,
            "decode_cpu_s": dec_cpu,
            "decoded_bytes": out_size,
            "roundtrip": back == text,
        }
    return results


def _merge_loop_placeholder(task: dict) -> dict:  # pragma: no cover
    raise NotImplementedError


WORKERS = {
    "train-velkor": _train_velkor,
    "train-sentencepiece": _train_sentencepiece,
    "train-hf-tokenizers": _train_hf,
    "codec": _codec,
}


def worker_main(task_file: str) -> None:
    task = json.loads(Path(task_file).read_text())
    result = WORKERS[task["kind"]](task)
    result["peak_kib"] = _self_rss_kib()
    Path(task["result"]).write_text(json.dumps(result))


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


def run_child(task: dict, workdir: Path, timeout: float) -> Outcome:
    name = f"{task['kind']}-{task.get('tool', '')}".rstrip("-")
    task = dict(task, result=str(workdir / f"{name}.result.json"))
    task_file = workdir / f"{name}.task.json"
    task_file.write_text(json.dumps(task))
    Path(task["result"]).unlink(missing_ok=True)
    stderr_path = workdir / f"{name}.stderr"
    env = dict(os.environ, **ONE_THREAD_ENV)
    with open(stderr_path, "wb") as stderr:
        start = time.perf_counter()
        proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--worker", str(task_file)],
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


def _fmt(value, unit="") -> str:
    if value is None:
        return "n/a"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}{unit}"
    if value >= 100:
        return f"{value:,.0f}{unit}"
    if value >= 10:
        return f"{value:.1f}{unit}"
    return f"{value:.2f}{unit}"


def _ratio(a, b) -> str:
    if a is None or b is None or isinstance(a, bool) or b == 0:
        return "n/a"
    return f"{a / b:.2f}x"


def print_table(title: str, rows: list[tuple[str, str, dict]]) -> None:
    """rows: (label, better, {tool: value}); better is "lower"/"higher"/""."""
    headers = ["", *TOOLS, *(f"velkor/{p}" for p in PEERS)]
    body = []
    for label, better, values in rows:
        arrow = {"lower": " (lower is better)", "higher": " (higher is better)"}.get(better, "")
        cells = [_fmt(values.get(t)) for t in TOOLS]
        ratios = [_ratio(values.get("velkor"), values.get(p)) if better else "" for p in PEERS]
        body.append([label + arrow, *cells, *ratios])
    widths = [max(len(r[i]) for r in [headers, *body]) for i in range(len(headers))]
    print(f"\n{title}")
    line = "  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(headers, widths)))
    print(line)
    print("-" * len(line))
    for row in body:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))))


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Benchmark velkor against sentencepiece and HF tokenizers."
    )
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true",
                        help="train on a 3 MB subset and encode 256 KB texts")
    parser.add_argument("--eval-bytes", type=int, default=None,
                        help="size of the English and mixed encode texts")
    parser.add_argument("--timeout", type=float, default=3600,
                        help="seconds allowed to each child process")
    parser.add_argument("--budget", type=float, default=2.0,
                        help="seconds of repeated runs per encode/decode timing")
    parser.add_argument("--wall-clock", action="store_true",
                        help="throughput per wall second instead of per CPU second")
    parser.add_argument("--skip-velkor", action="store_true",
                        help="measure the peers only (with an estimated vocabulary size)")
    parser.add_argument("--no-build", action="store_true",
                        help="do not build merge_bench when it is missing")
    parser.add_argument("--keep", metavar="DIR",
                        help="work in DIR and keep the trained models there")
    parser.add_argument("--json", metavar="PATH", help="also write all numbers to PATH")
    args = parser.parse_args()
    if args.worker:
        worker_main(args.worker)
        return

    ensure_peers()
    load = os.getloadavg()[0]
    if load > 1.5:
        print(f"warning: load average {load:.1f} on {os.cpu_count()} cores; "
              "timings will be noisy", flush=True)
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

    eval_bytes = args.eval_bytes or (QUICK_EVAL_BYTES if args.quick else FULL_EVAL_BYTES)
    if args.quick:
        train_file = workdir / "train-quick.txt"
        train_file.write_text(corpus.prefix(files["mixed"].read_text("utf-8"), QUICK_TRAIN_BYTES), "utf-8")
    else:
        train_file = files["full"]
    texts = {}
    for label in ("english", "mixed"):
        path = workdir / f"eval-{label}.txt"
        path.write_text(corpus.prefix(files[label].read_text("utf-8"), eval_bytes), "utf-8")
        texts[label] = str(path)
    train_mb = train_file.stat().st_size / 1e6
    print(f"\ntraining on {train_file.name} ({train_mb:.2f} MB); "
          f"encoding {eval_bytes / 1e6:.2f} MB of English and of mixed text; one thread each")

    report: dict = {"train_file": str(train_file), "train_mb": train_mb, "eval_bytes": eval_bytes}
    train: dict[str, Outcome] = {}

    # velkor first: its vocabulary size is the target for the peers.
    if args.skip_velkor:
        train["velkor"] = Outcome(error="skipped")
    else:
        out = workdir / "velkor"
        out.mkdir(exist_ok=True)
        print("training velkor ...", flush=True)
        train["velkor"] = run_child(
            {"kind": "train-velkor", "tool": "velkor", "corpus": str(train_file), "out": str(out)},
            workdir, args.timeout)
        if not train["velkor"].ok:
            print(f"  velkor: n/a ({train['velkor'].error})")
    if train["velkor"].ok:
        vocab = train["velkor"].result["vocab_size"]
        merges = train["velkor"].result["merges"]
        vocab_note = (f"velkor's vocabulary after training: {vocab - merges - 1:,} clusters"
                      f" + {merges:,} merges + the reserved oov entry")
    else:
        vocab = estimate_vocab(train_file)
        vocab_note = "estimate (distinct code points + 700 per 3 MB chunk): velkor unavailable"
    print(f"matched vocabulary size: {vocab:,} ({vocab_note})")
    report["vocab_size"] = vocab
    report["vocab_note"] = vocab_note

    for tool in PEERS:
        out = workdir / tool
        out.mkdir(exist_ok=True)
        print(f"training {tool} ...", flush=True)
        train[tool] = run_child(
            {"kind": f"train-{tool}", "tool": tool, "corpus": str(train_file),
             "out": str(out), "vocab_size": vocab},
            workdir, args.timeout)
        if not train[tool].ok:
            print(f"  {tool}: n/a ({train[tool].error})")

    codec: dict[str, Outcome] = {}
    for tool in TOOLS:
        if not train[tool].ok:
            codec[tool] = Outcome(error="not trained")
            continue
        print(f"encoding/decoding with {tool} ...", flush=True)
        codec[tool] = run_child(
            {"kind": "codec", "tool": tool, "model": train[tool].result["model"],
             "texts": texts, "budget": args.budget},
            workdir, args.timeout)
        if not codec[tool].ok:
            print(f"  {tool}: n/a ({codec[tool].error})")

    def tr(key):
        return {t: (o.result[key] if o.ok else None) for t, o in train.items()}

    def res(fn):
        return {t: (fn(o) if o.ok else None) for t, o in train.items()}

    rows = [
        ("vocabulary size", "", tr("vocab_size")),
        ("train time, s", "lower", tr("seconds")),
        ("train process wall, s", "lower", res(lambda o: o.wall)),
        ("train process CPU, s", "lower", res(lambda o: o.cpu)),
        ("train peak RSS, MiB", "lower", res(lambda o: o.maxrss_kib / 1024)),
        ("  RSS after import, MiB", "", tr("rss_before_kib")),
    ]
    rows[-1] = (rows[-1][0], "", {t: (v / 1024 if v else None) for t, v in rows[-1][2].items()})
    print_table(f"Training on {train_mb:.2f} MB, vocabulary matched", rows)

    # CPU seconds by default: with one thread each they equal wall seconds on
    # an idle machine, and other load on the box does not leak in.
    clock = "_s" if args.wall_clock else "_cpu_s"
    print(f"\nthroughput per {'wall' if args.wall_clock else 'CPU'} second of the codec process")
    for label in texts:
        def c(fn, label=label):
            return {t: (fn(o.result[label]) if o.ok else None) for t, o in codec.items()}

        mb = lambda n, s: n / 1e6 / s if s else None  # noqa: E731
        rows = [
            ("tokens", "lower", c(lambda r: r["tokens"])),
            ("bytes per token", "higher", c(lambda r: r["bytes"] / max(1, r["tokens"]))),
            ("encode whole text, MB/s", "higher", c(lambda r: mb(r["bytes"], r[f"encode{clock}"]))),
            ("encode line by line, MB/s", "higher",
             c(lambda r: mb(r["bytes"], r[f"encode_lines{clock}"]))),
            ("decode, MB/s of output", "higher",
             c(lambda r: mb(r["decoded_bytes"], r[f"decode{clock}"]))),
            ("decode(encode(t)) == t", "", c(lambda r: r["roundtrip"])),
            ("codec process peak RSS, MiB", "lower",
             {t: (o.maxrss_kib / 1024 if o.ok else None) for t, o in codec.items()}),
        ]
        size = Path(texts[label]).stat().st_size / 1e6
        print_table(f"Encode/decode, {label} text ({size:.2f} MB)", rows)

    # The merge loop's two forms are C++ internals, measured by merge_bench.
    # Brought up to date first (a no-op when it is), so the row measures the
    # current sources.
    binary = None if args.no_build else build_merge_bench()
    binary = binary or find_merge_bench()
    print("\nvelkor merge loop, incremental vs straightforward form:")
    if binary is None:
        print("  incremental: n/a   straightforward: n/a   (needs the C++ bench merge_bench: "
              "`make bench` builds it into build/bench; this row then reads its output)")
        report["merge_bench"] = None
    else:
        status, output = run_merge_bench(binary, train_file, args.timeout)
        numbers = parse_merge_bench(output)
        inc, plain = numbers.get("incremental_ms"), numbers.get("straightforward_ms")
        print(f"  first chunk of {train_file.name}, {numbers.get('merges', 700)} merges, "
              f"thread CPU time, from {binary.relative_to(REPO)} ({status}):")
        print(f"  incremental (pair index): {_fmt(inc, ' ms')}   straightforward (full recount "
              f"per merge): {_fmt(plain, ' ms')}   straightforward/incremental: {_ratio(plain, inc)}")
        print("  its full report:")
        for line in output.splitlines() or ["(no output)"]:
            print(f"    {line}")
        report["merge_bench"] = {"binary": str(binary), "status": status, "output": output,
                                 **numbers}

    report["train"] = {t: vars(o) for t, o in train.items()}
    report["codec"] = {t: vars(o) for t, o in codec.items()}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2, default=str))
        print(f"\nnumbers written to {args.json}")
    if cleanup is not None:
        cleanup.cleanup()


if __name__ == "__main__":
    main()
