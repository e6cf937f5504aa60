"""Compression at equal vocabulary size: bytes per token of velkor and its peers.

Usage: .venv/bin/python bench/compression.py [--sizes 8192,16384,32768] [--plot]
                                             [--english-only] [--rank-bytes N] [--json PATH]

Every tokenizer is trained on build/bench-corpus/full.txt to the same number
of tokens, then encodes the English and the mixed-language texts of the
benchmark corpus, each as one text and in documents of about 2 KB
(line-aligned, as bench/peer_worker.py cuts them), and, as one text each,
the tails of the sources that full.txt's cap leaves out (text no model has
seen). Rows:

- velkor standard: `velkor.Data.encode` (stops at the first pass whose most
  frequent pair is not a learned merge).
- velkor complete: `velkor_tools.Tokenizer.encode(..., complete=True)`
  (merges while any adjacent pair is a learned merge, most frequent first).
- velkor rank rule: classic BPE on velkor's merges, here in Python (a heap
  over a linked list): apply the learned merge with the smallest merged id
  anywhere in the text, whatever the counts, until none applies. Run on the
  first --rank-bytes of each text when that is set.
- sentencepiece BPE (identity normaliser, no whitespace folding,
  character_coverage=1.0, every line). It trains on lines, so a line feed is
  not in its vocabulary: encoding a whole text makes each run of line feeds
  one unknown token.
- Hugging Face byte-level BPE (ByteLevel pre-tokenizer and decoder, the 256
  bytes as initial alphabet, no normaliser).
- cl100k (about 100k tokens, trained elsewhere) as a reference, through the
  `bpe-openai` package, which ships that encoding's file (tiktoken itself
  downloads it at run time, which this machine cannot do).

Also printed: where each vocabulary goes (single clusters or characters
against merged tokens), and, with --english-only, models trained on
English alone, to see what closes the gap to sentencepiece on English.
--plot (re)draws docs/compression.png (bytes per token against vocabulary
size). Trained models are cached under build/compression/.

Peers and matplotlib are pip-installed into the running interpreter when
missing; none of them is a dependency of the package.
"""

from __future__ import annotations

import argparse
import heapq
import importlib.util
import json
import struct
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
from peer_worker import DOCUMENT_BYTES, _documents  # noqa: E402

CACHE = REPO / "build" / "compression"
PREBUILT = REPO / "build" / "models"  # m8192.tok etc., trained on full.txt
PLOT = REPO / "docs" / "compression.png"
SIZES = (8192, 16384, 32768)
PACKAGES = {"sentencepiece": "sentencepiece", "tokenizers": "tokenizers",
            "bpe_openai": "bpe-openai"}
CL100K_SIZE = 100_256

ROWS = ("velkor standard", "velkor complete", "velkor rank rule",
        "sentencepiece BPE", "HF byte-level BPE")
COLUMNS = (("english", "one"), ("english", "docs"), ("mixed", "one"), ("mixed", "docs"),
           ("english held out", "one"), ("other held out", "one"))
COLUMN_NAMES = {"one": "one text", "docs": f"{DOCUMENT_BYTES // 1024} KB documents"}


def ensure(modules: dict[str, str]) -> None:
    missing = [pkg for mod, pkg in modules.items() if importlib.util.find_spec(mod) is None]
    if missing:
        print(f"installing into {sys.prefix}: {' '.join(missing)}", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)


def version(package: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "?"


def _fresh(model: Path, source: Path) -> bool:
    return model.exists() and model.stat().st_mtime >= source.stat().st_mtime


# -- training ---------------------------------------------------------------


def velkor_model(train_file: Path, size: int, tag: str) -> Path:
    prebuilt = PREBUILT / f"m{size}.tok"
    if tag == "full" and _fresh(prebuilt, train_file):
        return prebuilt
    path = CACHE / f"velkor-{tag}-{size}.tok"
    if not _fresh(path, train_file):
        import velkor_tools

        print(f"training velkor on {train_file.name} to {size:,} tokens ...", flush=True)
        path.unlink(missing_ok=True)
        velkor_tools.train(path, [train_file], vocab_size=size, progress=False)
    return path


def sentencepiece_model(train_file: Path, size: int, tag: str) -> Path:
    path = CACHE / f"sp-{tag}-{size}"
    model = path.with_suffix(".model")
    if not _fresh(model, train_file):
        import sentencepiece as spm

        print(f"training sentencepiece on {train_file.name} to {size:,} tokens ...", flush=True)
        start = time.perf_counter()
        spm.SentencePieceTrainer.train(
            input=str(train_file), model_prefix=str(path), model_type="bpe",
            vocab_size=size, character_coverage=1.0, input_sentence_size=0,
            shuffle_input_sentence=False, max_sentence_length=1 << 16, num_threads=2,
            normalization_rule_name="identity", remove_extra_whitespaces=False,
            minloglevel=2)
        print(f"  {time.perf_counter() - start:.0f} s", flush=True)
    return model


def hf_model(train_file: Path, size: int, tag: str) -> Path:
    path = CACHE / f"hf-{tag}-{size}.json"
    if not _fresh(path, train_file):
        from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

        print(f"training HF byte-level BPE on {train_file.name} to {size:,} tokens ...", flush=True)
        tok = Tokenizer(models.BPE())
        tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
        tok.decoder = decoders.ByteLevel()
        trainer = trainers.BpeTrainer(
            vocab_size=size, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
            show_progress=False)
        tok.train([str(train_file)], trainer)
        tok.save(str(path))
    return path


# -- encoders: each gives the number of tokens of a list of texts ------------


def _initial_model(data: bytes) -> bytes:
    """The same tokenizer file without its merges: encoding with it gives one
    id per cluster, the starting point of the rank rule."""
    from velkor_tools.model import parse_model

    model = parse_model(data)
    out = [struct.pack("<Q", len(model.lookup))]
    out += [struct.pack("<HQ", i, len(b)) + b for i, b in model.lookup.items()]
    out.append(struct.pack("<Q", 0))
    out.append(struct.pack("<Q", len(model.unicode_lookup)))
    for text, i in model.unicode_lookup.items():
        raw = text.encode()
        out.append(struct.pack("<Q", len(raw)) + raw + struct.pack("<H", i))
    return b"".join(out)


def rank_rule_count(ids: list[int], merges: dict[tuple[int, int], int]) -> int:
    """Tokens left after classic BPE: the merge with the smallest merged id
    first, leftmost first among equals, until no adjacent pair is a merge."""
    n = len(ids)
    ids = list(ids)
    nxt = list(range(1, n + 1))  # n: no next
    prv = list(range(-1, n - 1))
    get = merges.get
    heap = [(m, i) for i in range(n - 1) if (m := get((ids[i], ids[i + 1]))) is not None]
    heapq.heapify(heap)
    pop, push = heapq.heappop, heapq.heappush
    count = n
    while heap:
        m, i = pop(heap)
        j = nxt[i]
        # Stale entries: i or its neighbour changed since the push.
        if j >= n or get((ids[i], ids[j])) != m:
            continue
        ids[i] = m
        ids[j] = -1
        k = nxt[j]
        nxt[i] = k
        if k < n:
            prv[k] = i
        count -= 1
        p = prv[i]
        if p >= 0 and (q := get((ids[p], m))) is not None:
            push(heap, (q, p))
        if k < n and (q := get((m, ids[k]))) is not None:
            push(heap, (q, i))
    return count


class Encoders:
    def __init__(self, velkor_path: Path, sp_path: Path | None, hf_path: Path | None,
                 rank_bytes: int | None) -> None:
        import velkor
        from velkor_tools import Tokenizer
        from velkor_tools.model import parse_model

        data = velkor_path.read_bytes()
        self.standard = velkor.load_from_file(str(velkor_path))
        self.tokenizer = Tokenizer.from_bytes(data)
        self.initial = Tokenizer.from_bytes(_initial_model(data))
        self.merges = parse_model(data).merges
        self.rank_bytes = rank_bytes
        self.sp = self.hf = None
        if sp_path:
            import sentencepiece as spm

            self.sp = spm.SentencePieceProcessor(model_file=str(sp_path))
        if hf_path:
            from tokenizers import Tokenizer as HF

            self.hf = HF.from_file(str(hf_path))

    def count(self, row: str, texts: list[str]) -> int | None:
        if row == "velkor standard":
            return sum(len(self.standard.encode(t)) for t in texts)
        if row == "velkor complete":
            return sum(len(ids) for ids in self.tokenizer.encode_batch(texts, complete=True))
        if row == "velkor rank rule":
            return sum(rank_rule_count(self.initial.encode(t), self.merges) for t in texts)
        if row == "sentencepiece BPE":
            return None if self.sp is None else sum(len(ids) for ids in self.sp.encode(texts))
        if row == "HF byte-level BPE":
            return None if self.hf is None else sum(
                len(e.ids) for e in self.hf.encode_batch(texts, add_special_tokens=False))
        raise ValueError(row)


def cl100k():
    """bpe-openai's cl100k encoding, or the reason there is none."""
    try:
        import bpe_openai

        return bpe_openai.get_encoding("cl100k_base"), None
    except Exception as error:  # a peer's failure is a table cell, not a crash
        return None, f"{type(error).__name__}: {error}"


def cl100k_count(enc, texts: list[str]) -> int:
    # Long texts go in line-aligned blocks of about 128 KB: the package refuses
    # a call of 1,000,000 characters or 200,000 tokens. Its pre-tokenizer cuts
    # at line ends anyway, so the blocks change next to nothing.
    total = 0
    for text in texts:
        for block in _documents(text, 1 << 17):
            total += len(enc.encode_ordinary(block))
    return total


def cl100k_row(texts: dict[str, str]) -> tuple[dict | None, str | None]:
    """cl100k's bytes per token in each column, or why there are none."""
    enc, why = cl100k()
    if enc is None:
        return None, why
    row = {}
    try:
        for label, mode in COLUMNS:
            docs = [texts[label]] if mode == "one" else _documents(texts[label], DOCUMENT_BYTES)
            row[(label, mode)] = sum(len(d.encode()) for d in docs) / cl100k_count(enc, docs)
    except Exception as error:  # a peer's failure is a table cell, not a crash
        return None, f"{type(error).__name__}: {error}"
    return row, None


# -- vocabulary breakdown ---------------------------------------------------

CJK_BLOCKS = ("CJK", "HIRAGANA", "KATAKANA", "HANGUL")


def _is_cjk(cluster: str) -> bool:
    name = unicodedata.name(cluster[0], "")
    return any(name.startswith(b) for b in CJK_BLOCKS)


def velkor_vocabulary(path: Path) -> dict:
    from velkor_tools.model import parse_model

    model = parse_model(path.read_bytes())
    clusters = [t for t in model.unicode_lookup if t != "oov"]
    merged = [model.lookup[m] for m in model.merges.values()]

    def inner_space(raw: bytes) -> bool:
        return b" " in raw.strip(b" ")

    return {
        "clusters": len(clusters),
        "cjk": sum(_is_cjk(c) for c in clusters),
        "merged": len(model.merges),
        "across words": sum(inner_space(b) for b in merged),
        "reserved": 1,
    }


def sentencepiece_vocabulary(path: Path) -> dict:
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_file=str(path))
    pieces = [(sp.id_to_piece(i), sp.is_control(i) or sp.is_unknown(i))
              for i in range(sp.get_piece_size())]
    single = [p for p, special in pieces if not special and len(p) == 1]
    return {
        "clusters": len(single),
        "cjk": sum(_is_cjk(p) for p in single),
        "merged": sum(1 for p, special in pieces if not special and len(p) > 1),
        "reserved": sum(special for _, special in pieces),
    }


def hf_vocabulary(path: Path) -> dict:
    from tokenizers import Tokenizer

    vocab = Tokenizer.from_file(str(path)).get_vocab_size()
    return {"clusters": 256, "merged": vocab - 256, "reserved": 0}


# -- held-out text ----------------------------------------------------------


def held_out() -> tuple[dict[str, str], str]:
    """Text that full.txt does not hold: the tails of the sources it caps.

    english.txt and mixed.txt are (almost) all inside full.txt, so every
    model has seen them; these show what a model does on text it has not
    seen. Also returns english.txt without its held-out tail, the English-only
    training text.
    """
    sources = {}
    for source in corpus.SOURCES:
        if source.kind == "fortune":
            sources[source.name] = corpus._fortune_text(source.package)
        else:
            sources[source.name] = corpus._reference_text(source)
    tails = {name: text[len(corpus.prefix(text, corpus.FULL_CAP)):]
             for name, text in sources.items()}
    english = "".join(corpus.prefix(sources[n], corpus.FULL_CAP) for n in corpus.ENGLISH)
    other = "".join(t for n, t in tails.items() if n not in corpus.ENGLISH)
    return {"english held out": tails["en-fortunes"], "other held out": other}, english


# -- the run ----------------------------------------------------------------


def measure(train_file: Path, texts: dict[str, str], sizes: tuple[int, ...], tag: str,
            rank_bytes: int | None, rows=ROWS, velkor_file: Path | None = None) -> dict:
    """{size: {row: {(label, mode): tokens}}}, and each model's vocabulary."""
    from velkor_tools import Tokenizer

    CACHE.mkdir(parents=True, exist_ok=True)
    results: dict = {"tokens": {}, "vocabulary": {}, "bytes": {}}
    inputs = {}
    for label, text in texts.items():
        inputs[(label, "one")] = [text]
        inputs[(label, "docs")] = _documents(text, DOCUMENT_BYTES)
        if rank_bytes:
            sample = corpus.prefix(text, rank_bytes)
            inputs[(label, "one", "sample")] = [sample]
            inputs[(label, "docs", "sample")] = _documents(sample, DOCUMENT_BYTES)
    for key, docs in inputs.items():
        results["bytes"][key] = sum(len(d.encode()) for d in docs)
    for size in sizes:
        vpath = velkor_model(velkor_file or train_file, size, tag)
        reached = len(Tokenizer.from_file(vpath))
        if reached != size:
            print(f"  velkor's training stopped at {reached:,} tokens, not {size:,}: "
                  "its passes added none", flush=True)
        sp = sentencepiece_model(train_file, size, tag) if "sentencepiece BPE" in rows else None
        hf = hf_model(train_file, size, tag) if "HF byte-level BPE" in rows else None
        enc = Encoders(vpath, sp, hf, rank_bytes)
        table = results["tokens"][size] = {}
        for row in rows:
            start = time.process_time()
            for column in (c for c in COLUMNS if c[0] in texts):
                key = column
                if row in ("velkor rank rule",) and rank_bytes:
                    key = (*column, "sample")
                    # the complete encoding on the same sample, for the ratio
                    table.setdefault("velkor complete, sample", {})[key] = enc.count(
                        "velkor complete", inputs[key])
                table.setdefault(row, {})[key] = enc.count(row, inputs[key])
            print(f"  {size:,} {row}: {time.process_time() - start:.1f} s CPU", flush=True)
        results["vocabulary"][size] = {
            "velkor": velkor_vocabulary(vpath),
            **({"sentencepiece": sentencepiece_vocabulary(sp)} if sp else {}),
            **({"hf": hf_vocabulary(hf)} if hf else {}),
        }
    return results


def bytes_per_token(results: dict, row: str, size: int, key) -> float | None:
    tokens = results["tokens"].get(size, {}).get(row, {}).get(key)
    return results["bytes"][key] / tokens if tokens else None


def _cell(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}"


def compression_table(results: dict, sizes, cl100k_row: dict | None, cl100k_note: str) -> str:
    head = ["vocabulary"] + [f"{label}, {COLUMN_NAMES[mode]}" for label, mode in COLUMNS]
    lines = ["| " + " | ".join(["", *head[1:]]) + " |", "|---" * len(head) + "|"]
    for size in sizes:
        rows = results["tokens"][size]
        for row in ROWS:
            if row not in rows:
                continue
            keys = list(rows[row])
            lines.append("| " + " | ".join(
                [f"{size:,}: {row}", *(_cell(bytes_per_token(results, row, size, k)) for k in keys)])
                + " |")
        if "velkor complete, sample" in rows:
            keys = list(rows["velkor complete, sample"])
            lines.append("| " + " | ".join(
                [f"{size:,}: rank rule / complete, tokens",
                 *(f"{rows['velkor rank rule'][k] / rows['velkor complete, sample'][k]:.2f}x"
                   for k in keys)]) + " |")
        comp = rows["velkor complete"]
        std = rows["velkor standard"]
        lines.append("| " + " | ".join(
            [f"{size:,}: complete / standard, tokens",
             *(f"{comp[k] / std[k]:.2f}x" for k in comp)]) + " |")
        if "sentencepiece BPE" in rows and all(rows["sentencepiece BPE"].values()):
            sp = rows["sentencepiece BPE"]
            lines.append("| " + " | ".join(
                [f"{size:,}: complete / sentencepiece, bytes per token",
                 *(f"{sp[k] / comp[k]:.2f}x" for k in comp)]) + " |")
    if cl100k_row is not None or cl100k_note:
        cells = [_cell(cl100k_row[k]) if cl100k_row else "n/a" for k in COLUMNS]
        lines.append("| " + " | ".join([f"{CL100K_SIZE:,}: cl100k (reference)", *cells]) + " |")
    return "\n".join(lines)


def vocabulary_table(results: dict, sizes) -> str:
    lines = ["| | " + " | ".join(f"{s:,}" for s in sizes) + " |", "|---" * (len(sizes) + 1) + "|"]
    voc = results["vocabulary"]

    def row(name, tool, field):
        cells = [f"{voc[s][tool][field]:,}" if tool in voc[s] else "n/a" for s in sizes]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")

    row("velkor: single grapheme clusters", "velkor", "clusters")
    row("velkor: of which CJK (Han, kana, Hangul)", "velkor", "cjk")
    row("velkor: merged tokens", "velkor", "merged")
    row("velkor: merged tokens with a space inside (across words)", "velkor", "across words")
    row("sentencepiece: single characters", "sentencepiece", "clusters")
    row("sentencepiece: of which CJK", "sentencepiece", "cjk")
    row("sentencepiece: multi-character pieces", "sentencepiece", "merged")
    row("sentencepiece: control pieces (unk, s, /s)", "sentencepiece", "reserved")
    row("HF byte-level: the 256 bytes", "hf", "clusters")
    row("HF byte-level: merges", "hf", "merged")
    return "\n".join(lines)


def goals(results: dict, sizes) -> list[str]:
    out = []
    for size in sizes:
        rows = results["tokens"][size]
        comp, std = rows["velkor complete"], rows["velkor standard"]
        sp = rows.get("sentencepiece BPE")
        if sp:
            en = sp[("english", "one")] / comp[("english", "one")]
            mx = sp[("mixed", "one")] / comp[("mixed", "one")]
            out.append(f"{size:,}: complete bytes/token vs sentencepiece: English {en:.2f}x "
                       f"(goal >= 1.00: {'met' if en >= 1 else 'not met'}), mixed {mx:.2f}x "
                       f"(goal >= 0.85: {'met' if mx >= 0.85 else 'not met'})")
        en = comp[("english", "one")] / std[("english", "one")]
        mx = comp[("mixed", "docs")] / std[("mixed", "docs")]
        out.append(f"{size:,}: complete/standard tokens: English one text {en:.3f}x "
                   f"(goal <= 0.65: {'met' if en <= 0.65 else 'not met'}), mixed 2 KB documents "
                   f"{mx:.3f}x (goal <= 0.65: {'met' if mx <= 0.65 else 'not met'})")
    return out


def plot(results: dict, sizes, cl100k_row: dict | None, path: Path) -> None:
    ensure({"matplotlib": "matplotlib"})
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    styles = {"velkor complete": ("o-", "C0"), "velkor rank rule": ("o--", "C3"),
              "velkor standard": ("o:", "C0"),
              "sentencepiece BPE": ("s-", "C1"), "HF byte-level BPE": ("^-", "C2")}
    for ax, label in zip(axes, ("english", "mixed")):
        key = (label, "one")
        for row, (style, colour) in styles.items():
            ys = [bytes_per_token(results, row, s, key) for s in sizes]
            if all(y is not None for y in ys):
                ax.plot(sizes, ys, style, color=colour, label=row)
        if cl100k_row:
            ax.plot([CL100K_SIZE], [cl100k_row[key]], "kx", label="cl100k (reference)")
        ax.set_xscale("log", base=2)
        ax.set_xticks([*sizes, *([CL100K_SIZE] if cl100k_row else [])])
        ax.set_xticklabels([f"{s // 1024}k" if s % 1024 == 0 else f"{s // 1000}k"
                            for s in ax.get_xticks()])
        ax.set_title(f"{'English' if label == 'english' else 'mixed (12 sources)'}, one text")
        ax.set_xlabel("vocabulary size (tokens)")
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("bytes per token (higher is better)")
    axes[1].legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nplot written to {path.relative_to(REPO)}")


def run(sizes=SIZES, *, plot_to: Path | None = None, english_only: bool = False,
        rank_bytes: int | None = None) -> dict:
    ensure(PACKAGES)
    files = corpus.build()
    texts = {label: files[label].read_text("utf-8") for label in ("english", "mixed")}
    unseen, english_train = held_out()
    texts.update(unseen)
    train_file = files["full"]
    print(f"\ncompression: trained on {train_file.name} ({train_file.stat().st_size / 1e6:.1f} MB) "
          f"to {', '.join(f'{s:,}' for s in sizes)} tokens; english.txt "
          f"{len(texts['english'].encode()) / 1e6:.2f} MB, mixed.txt "
          f"{len(texts['mixed'].encode()) / 1e6:.2f} MB; held out of full.txt: English "
          f"{len(unseen['english held out'].encode()) / 1e6:.2f} MB (fortunes), other "
          f"{len(unseen['other held out'].encode()) / 1e6:.2f} MB (German and Russian fortunes)",
          flush=True)
    cl_row, why = cl100k_row(texts)
    results = measure(train_file, texts, sizes, "full", rank_bytes)
    versions = (f"velkor {version('velkor')}, sentencepiece {version('sentencepiece')}, "
                f"tokenizers {version('tokenizers')}, bpe-openai {version('bpe-openai')}")
    sample = (f"; rank rule on the first {rank_bytes:,} bytes of each text"
              if rank_bytes else "")
    print(f"\nBytes (UTF-8) per token, higher is better ({versions}{sample}):\n")
    print(compression_table(results, sizes, cl_row, why or ""))
    if why:
        print(f"\ncl100k: n/a ({why})")
    print("\nWhere the vocabulary goes:\n")
    print(vocabulary_table(results, sizes))
    print("\nGoals:")
    for line in goals(results, sizes):
        print(f"  {line}")
    if plot_to:
        plot(results, sizes, cl_row, plot_to)
    if english_only:
        results["english only"] = english_models(english_train, texts, sizes)
    return results


def english_models(english_train: str, texts: dict[str, str], sizes) -> dict:
    """Every tokenizer trained on English alone (english.txt less its held-out
    tail): with no CJK and Cyrillic clusters to hold, how much the English
    figures move, on seen and on held-out English."""
    CACHE.mkdir(parents=True, exist_ok=True)
    english = CACHE / "english-train.txt"
    if not english.exists() or english.read_text("utf-8") != english_train:
        english.write_text(english_train, "utf-8")
    rows = ("velkor standard", "velkor complete", "velkor rank rule", "sentencepiece BPE",
            "HF byte-level BPE")
    # velkor learns at most 700 merges per 3 MB chunk and starts every pass's
    # first chunk without the merges learned so far, so on english.txt alone
    # (1.1 chunks) its passes stop adding tokens near 2,500. The same text
    # six times over gives chunks that start from the learned merges; the
    # peers count pairs over the whole file, where repeating changes nothing.
    repeated = CACHE / "english-train-x6.txt"
    if not _fresh(repeated, english):
        repeated.write_bytes(english.read_bytes() * 6)
    eval_texts = {k: texts[k] for k in ("english", "english held out")}
    results = measure(english, eval_texts, sizes, "english", None, rows=rows,
                      velkor_file=repeated)
    print("\nTrained on English alone, bytes per token on english.txt as one text / in "
          f"{COLUMN_NAMES['docs']} / on held-out English:\n")
    print("| vocabulary | " + " | ".join(rows[1:]) + " | complete / sentencepiece |"
          " velkor single clusters | velkor merged tokens across words | velkor tokens reached |")
    print("|---" * (len(rows) + 4) + "|")
    for size in sizes:
        cells = []
        for row in rows[1:]:
            one, docs = (bytes_per_token(results, row, size, ("english", m)) for m in ("one", "docs"))
            unseen = bytes_per_token(results, row, size, ("english held out", "one"))
            cells.append(f"{_cell(one)} / {_cell(docs)} / {_cell(unseen)}")
        comp = bytes_per_token(results, "velkor complete", size, ("english", "one"))
        sp = bytes_per_token(results, "sentencepiece BPE", size, ("english", "one"))
        voc = results["vocabulary"][size]["velkor"]
        tokens = voc["clusters"] + voc["merged"] + voc["reserved"]
        print(f"| {size:,} | " + " | ".join(cells)
              + f" | {_ratio(comp, sp)} | {voc['clusters']:,} | {voc['across words']:,}"
              f" | {tokens:,} |")
    return results


def _ratio(a: float | None, b: float | None) -> str:
    return f"{a / b:.2f}x" if a and b else "n/a"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="vocabulary sizes, comma-separated (default %(default)s)")
    parser.add_argument("--plot", action="store_true", help=f"(re)draw {PLOT.relative_to(REPO)}")
    parser.add_argument("--english-only", action="store_true",
                        help="also train velkor and sentencepiece on english.txt alone")
    parser.add_argument("--json", metavar="PATH", help="also write the token counts to PATH")
    parser.add_argument("--rank-bytes", type=int, default=None,
                        help="run the (Python) rank rule on this many bytes of each text")
    args = parser.parse_args()
    sizes = tuple(int(s) for s in args.sizes.split(","))
    results = run(sizes, plot_to=PLOT if args.plot else None, english_only=args.english_only,
                  rank_bytes=args.rank_bytes)
    if args.json:
        Path(args.json).write_text(json.dumps(_plain(results), indent=1))
        print(f"\nnumbers written to {args.json}")


def _plain(value):
    """results with tuple keys joined, for JSON."""
    if isinstance(value, dict):
        return {"/".join(map(str, k)) if isinstance(k, tuple) else str(k): _plain(v)
                for k, v in value.items()}
    return value


if __name__ == "__main__":
    main()
