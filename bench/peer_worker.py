"""One measurement of compare_peers.py, run in a fresh process of its own.

Usage: python bench/peer_worker.py TASK_JSON   (written by compare_peers.py)

A worker imports only what the measurement needs: json, os, sys and time,
then the measured library (velkor_tools with NumPy for its array calls). The
parent's own modules (argparse, subprocess, tempfile, the corpus builder with
gzip and hashlib) are never loaded here, so that the peak memory a task
reports is the interpreter's and the library's, for every tool alike
(sentencepiece, HF tokenizers, bpe-openai and tiktoken run in the same worker
as velkor).
"""

import json
import os
import sys
import time

# The second workload: documents of about this size, each its own call.
DOCUMENT_BYTES = 2048


def _self_rss_kib() -> int:
    """Peak resident memory of this process image, in KiB.

    VmHWM, not ru_maxrss: Linux carries ru_maxrss across exec, so a child
    spawned from a larger parent would report the parent's peak.
    """
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


class _StdoutToFile:
    """Sends fd 1 to a file: velkor prints progress there, not via sys.stdout."""

    def __init__(self, path: str):
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


def _read_text(path: str) -> str:
    with open(path, encoding="utf-8", errors="replace") as file:
        return file.read()


def _train_velkor(task: dict) -> dict:
    import velkor

    out = task["out"]
    os.chdir(out)
    data = velkor.load_from_file(task["starter"])
    rss_before = _self_rss_kib()
    with _StdoutToFile(os.path.join(out, "train.stdout")):
        start = time.perf_counter()
        data.train(task["corpus"], False, os.path.join(out, "train.log"))
        seconds = time.perf_counter() - start
    model = os.path.join(out, "tokenizer")
    if not os.path.exists(model):
        raise RuntimeError("training wrote no tokenizer file")
    vocab = len(data.vocab())
    merges = sum(
        1 for line in _read_text(os.path.join(out, "train.stdout")).splitlines()
        if line.startswith("Token ")
    )
    reloaded = len(velkor.load_from_file(model).vocab())
    if reloaded != vocab:
        raise RuntimeError(f"saved model has {reloaded} tokens, trained object {vocab}")
    return {
        "seconds": seconds,
        "vocab_size": vocab,
        "merges": merges,
        "model": model,
        "rss_before_kib": rss_before,
    }


def _train_sentencepiece(task: dict) -> dict:
    import sentencepiece as spm

    out = task["out"]
    rss_before = _self_rss_kib()
    start = time.perf_counter()
    spm.SentencePieceTrainer.train(
        input=task["corpus"],
        model_prefix=os.path.join(out, "sp"),
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
    model = os.path.join(out, "sp.model")
    sp = spm.SentencePieceProcessor(model_file=model)
    return {
        "seconds": seconds,
        "vocab_size": sp.get_piece_size(),
        "model": model,
        "rss_before_kib": rss_before,
    }


def _train_hf(task: dict) -> dict:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    out = task["out"]
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
    path = os.path.join(out, "hf.json")
    tok.save(path)
    return {
        "seconds": seconds,
        "vocab_size": tok.get_vocab_size(),
        "model": path,
        "rss_before_kib": rss_before,
    }


def _documents(text: str, size: int) -> list[str]:
    """Line-aligned documents of about `size` bytes (a longer line is one document)."""
    docs, current, length = [], [], 0
    for line in text.splitlines(keepends=True):
        current.append(line)
        length += len(line.encode())
        if length >= size:
            docs.append("".join(current))
            current, length = [], 0
    if current:
        docs.append("".join(current))
    return docs


# bpe-openai refuses a call of 1,000,000 characters or 200,000 tokens; its
# "whole file" is pieces of about this many bytes, cut at line ends (a byte
# is at most one token, so a piece stays under both).
BPE_OPENAI_PIECE_BYTES = 40_000


def _velkor_tools(model: str):
    """A velkor_tools.Tokenizer, with NumPy loaded: the Tokenizer imports it
    on its first array call (the command starts faster without it), and a
    program that asks for arrays has NumPy loaded already."""
    import numpy  # noqa: F401

    from velkor_tools import Tokenizer

    return Tokenizer.from_file(model)


def _velkor_codec(model: str, workload: str, numpy: bool):
    """velkor: one call on the whole text, or one call per document; `numpy`
    takes velkor_tools.Tokenizer.encode_to_numpy instead of Data.encode."""
    if numpy:
        tok = _velkor_tools(model)
        enc, dec = tok.encode_to_numpy, tok.decode
    else:
        import velkor

        data = velkor.load_from_file(model)
        enc, dec = data.encode, data.decode
    if workload == "files":
        return lambda text: text, lambda text: [enc(text)], lambda ids: [dec(ids[0])]
    return (lambda text: _documents(text, DOCUMENT_BYTES),
            lambda docs: [enc(d) for d in docs], lambda ids: [dec(i) for i in ids])


def _tiktoken(ranks_file: str):
    """tiktoken's cl100k_base from a local copy of its ranks: tiktoken itself
    would download them. Its own recipe (pattern, special tokens) and its own
    hash check of the ranks, cached in the working directory."""
    import tiktoken
    import tiktoken.load
    from tiktoken_ext import openai_public

    os.environ["TIKTOKEN_CACHE_DIR"] = os.path.join(os.getcwd(), "tiktoken-cache")

    def local(_url, expected_hash=None):
        return tiktoken.load.load_tiktoken_bpe(ranks_file, expected_hash)

    openai_public.load_tiktoken_bpe = local
    return tiktoken.Encoding(**openai_public.cl100k_base())


def _openai_encoding(tool: str, model: str):
    if tool == "tiktoken":
        return _tiktoken(model)
    import bpe_openai

    return bpe_openai.get_encoding(model)


def _codec_api(tool: str, model: str, workload: str):
    """(inputs_of(text), encode(inputs) -> list of id lists, decode(id lists) -> texts).

    Each tool on its fastest single-thread path: velkor one call on the whole
    text, or one call per document; sentencepiece and HF tokenizers their
    batch calls over the file's lines or over the documents; tiktoken one call
    on the whole text or per document, bpe-openai the same but in pieces of
    at most BPE_OPENAI_PIECE_BYTES (plus a line) for the whole text.
    """
    if tool in ("velkor", "velkor_tools"):
        return _velkor_codec(model, workload, tool == "velkor_tools")
    if workload == "docs":
        inputs_of = lambda text: _documents(text, DOCUMENT_BYTES)  # noqa: E731
    elif tool == "tiktoken":
        inputs_of = lambda text: [text]  # noqa: E731
    elif tool == "bpe-openai":
        inputs_of = lambda text: _documents(text, BPE_OPENAI_PIECE_BYTES)  # noqa: E731
    else:
        inputs_of = lambda text: text.splitlines(keepends=True)  # noqa: E731
    if tool == "sentencepiece":
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=model, num_threads=1)
        return (inputs_of, lambda texts: sp.encode(texts, num_threads=1),
                lambda ids: sp.decode(ids, num_threads=1))
    if tool == "hf-tokenizers":
        from tokenizers import Tokenizer

        tok = Tokenizer.from_file(model)
        batch = getattr(tok, "encode_batch_fast", tok.encode_batch)  # no offsets, when offered
        return (inputs_of,
                lambda texts: [e.ids for e in batch(texts, add_special_tokens=False)],
                lambda ids: tok.decode_batch(ids))
    if tool in ("tiktoken", "bpe-openai"):
        encoding = _openai_encoding(tool, model)
        enc, dec = encoding.encode_ordinary, encoding.decode
        return inputs_of, lambda texts: [enc(t) for t in texts], lambda ids: [dec(i) for i in ids]
    raise ValueError(tool)


def _batch_api(tool: str, model: str, threads: int):
    """encode(texts) -> id count, on `threads` threads: each tool's batch call."""
    if tool == "velkor":
        tok = _velkor_tools(model)
        return lambda texts: len(tok.encode_batch_to_numpy(texts, num_threads=threads)[0])
    if tool == "sentencepiece":
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=model)
        return lambda texts: sum(map(len, sp.encode(texts, num_threads=threads)))
    if tool == "hf-tokenizers":
        from tokenizers import Tokenizer

        tok = Tokenizer.from_file(model)  # Rayon's pool: every core, unless told otherwise
        return lambda texts: sum(len(e.ids) for e in tok.encode_batch_fast(texts, add_special_tokens=False))
    if tool in ("tiktoken", "bpe-openai"):
        encoding = _openai_encoding(tool, model)
        return lambda texts: sum(map(len, encoding.encode_ordinary_batch(texts, num_threads=threads)))
    raise ValueError(tool)


def _clock(fn, arg):
    """(wall seconds, CPU seconds, result) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn(arg)
    return time.perf_counter() - wall, time.process_time() - cpu, result


def _codec(task: dict) -> dict:
    """One tool, one workload, one text, in a fresh process: the first calls count."""
    inputs_of, encode, decode = _codec_api(task["tool"], task["model"], task["workload"])
    with open(task["text"], encoding="utf-8") as file:
        text = file.read()
    inputs = inputs_of(text)
    enc_s, enc_cpu, ids = _clock(encode, inputs)
    dec_s, dec_cpu, back = _clock(decode, ids)
    # A second encode shows what the first call pays extra.
    later_s, later_cpu, _ = _clock(encode, inputs)
    back_text = "".join(back)
    return {
        "bytes": len(text.encode()),
        "inputs": 1 if isinstance(inputs, str) else len(inputs),
        "tokens": sum(len(i) for i in ids),
        "encode_s": enc_s,
        "encode_cpu_s": enc_cpu,
        "later_encode_s": later_s,
        "later_encode_cpu_s": later_cpu,
        "decode_s": dec_s,
        "decode_cpu_s": dec_cpu,
        "decoded_bytes": len(back_text.encode()),
        "roundtrip": back_text == text,
    }


def _batch(task: dict) -> dict:
    """One tool's batch call on every core, in a fresh process: wall time counts."""
    encode = _batch_api(task["tool"], task["model"], task["threads"])
    with open(task["text"], encoding="utf-8") as file:
        text = file.read()
    if task["workload"] == "lines":
        inputs = text.splitlines(keepends=True)
    else:
        inputs = _documents(text, DOCUMENT_BYTES)
    enc_s, enc_cpu, tokens = _clock(encode, inputs)
    later_s, later_cpu, _ = _clock(encode, inputs)
    return {
        "bytes": len(text.encode()),
        "inputs": len(inputs),
        "tokens": tokens,
        "encode_s": enc_s,
        "encode_cpu_s": enc_cpu,
        "later_encode_s": later_s,
        "later_encode_cpu_s": later_cpu,
    }


WORKERS = {
    "train-velkor": _train_velkor,
    "train-sentencepiece": _train_sentencepiece,
    "train-hf-tokenizers": _train_hf,
    "codec": _codec,
    "batch": _batch,
}


def main(task_file: str) -> None:
    with open(task_file) as file:
        task = json.load(file)
    result = WORKERS[task["kind"]](task)
    result["peak_kib"] = _self_rss_kib()
    with open(task["result"], "w") as file:
        json.dump(result, file)


if __name__ == "__main__":
    main(sys.argv[1])
