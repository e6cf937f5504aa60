"""The `velkor` command, run as a separate process like a user would."""

import json
import os
import random
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import velkor
from conftest import tokenizer_image
from velkor_tools.cli import main
from velkor_tools.image import read_image
from velkor_tools.model import STARTER_MODEL, parse_model

CHUNK = 3_067_833


def velkor_cmd(*args, input=None, cwd=None, check=True):
    result = subprocess.run(
        [sys.executable, "-m", "velkor_tools", *map(str, args)],
        input=input, capture_output=True, cwd=cwd, timeout=120,
    )
    if check:
        assert result.returncode == 0, result.stderr.decode()
    return result


def corpus_text(words: int, seed: int) -> str:
    rng = random.Random(seed)
    vocabulary = ["the", "cat", "sat", "on", "mat", "über", "naïve", "日本語", "🙂👍🏽", "x\r\ny"]
    return " ".join(rng.choice(vocabulary) for _ in range(words))


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A model trained by the command on one small file: (model path, corpus path)."""
    work = tmp_path_factory.mktemp("trained")
    corpus = work / "corpus.txt"
    corpus.write_text(corpus_text(20_000, 1), encoding="utf-8")
    velkor_cmd("new", work / "m.tok")
    lines = velkor_cmd("train", work / "m.tok", corpus, "--verbose").stdout
    assert lines.startswith(b"Just Started\n") and b"Saved Successfully" in lines  # the module's own
    return work / "m.tok", corpus


def test_new_refuses_to_overwrite_unless_forced(tmp_path):
    model = tmp_path / "m.tok"
    velkor_cmd("new", model)
    assert model.read_bytes() == STARTER_MODEL and len(STARTER_MODEL) == 47
    model.write_bytes(b"keep")
    failed = velkor_cmd("new", model, check=False)
    assert failed.returncode == 1 and b"already exists" in failed.stderr
    assert model.read_bytes() == b"keep"
    velkor_cmd("new", model, "--force")
    assert model.read_bytes() == STARTER_MODEL
    assert sorted(os.listdir(tmp_path)) == ["m.tok"]


def test_info_counts_and_json(trained):
    model, _ = trained
    parsed = parse_model(model.read_bytes())
    info = json.loads(velkor_cmd("info", model, "--json").stdout)
    assert (info["tokens"], info["merges"], info["clusters"]) == (
        len(parsed.lookup), len(parsed.merges), len(parsed.unicode_lookup) - 1)
    assert info["merges"] > 0 and len(info["sha256"]) == 64
    # The most recent merges (highest ids) and the longest tokens, first to last.
    assert [m["id"] for m in info["recent_merges"]] == sorted(parsed.merges.values(), reverse=True)[:10]
    lengths = sorted((len(raw.decode("utf-8", "replace")) for raw in parsed.lookup.values()), reverse=True)
    assert [len(token["text"]) for token in info["longest_tokens"]] == lengths[:10]
    text = velkor_cmd("info", model).stdout.decode()
    assert f"merges    {info['merges']}" in text and info["sha256"] in text
    # A model that can be read once only (a pipe) is read once.
    piped = velkor_cmd("info", "/dev/stdin", "--json", input=model.read_bytes()).stdout
    assert json.loads(piped)["sha256"] == info["sha256"]
    assert velkor_cmd("show", "/dev/stdin", "ab", input=model.read_bytes()).returncode == 0


def test_encode_decode_round_trips(trained, tmp_path):
    model, corpus = trained
    tok = velkor.load_from_file(str(model))
    text = corpus.read_bytes()
    ids = velkor_cmd("encode", model, corpus).stdout
    assert ids == " ".join(map(str, tok.encode(text.decode()))).encode() + b"\n"
    assert velkor_cmd("decode", model, input=ids).stdout == text

    lines = "the cat\r\nüber\n\nsat on"
    encoded = velkor_cmd("encode", model, "--lines", input=lines.encode()).stdout
    assert len(encoded.splitlines()) == 4
    assert velkor_cmd("decode", model, "--lines", input=encoded).stdout == b"the cat\n\xc3\xbcber\n\nsat on\n"
    # A lone "\r" ending the input ends no line: it is part of the last one.
    last = velkor_cmd("encode", model, "--lines", input=b"sat on\r").stdout
    assert last == " ".join(map(str, tok.encode("sat on\r"))).encode() + b"\n"

    velkor_cmd("encode", model, corpus, "--format", "npy", "-o", tmp_path / "c.npy")
    velkor_cmd("encode", model, corpus, "--format", "bin", "-o", tmp_path / "c.bin")
    array = np.load(tmp_path / "c.npy")
    assert array.dtype == np.uint16 and array.tolist() == tok.encode(text.decode())
    assert (tmp_path / "c.bin").read_bytes() == array.astype("<u2").tobytes()
    for form in ("npy", "bin"):  # decode reads each format encode writes
        assert velkor_cmd("decode", model, "--format", form, tmp_path / f"c.{form}").stdout == text
    odd = velkor_cmd("decode", model, "--format", "bin", input=b"\x01\x00\x02", check=False)
    assert odd.returncode == 1 and b"not a whole number of uint16 ids" in odd.stderr


def test_train_matches_direct_calls_and_touches_nothing_else(tmp_path, monkeypatch):
    # Two files, the first of two chunks: the command's model and merge log
    # equal those of consecutive Data.train calls on one object.
    data = tmp_path / "data"
    data.mkdir()
    first, second = data / "one.txt", data / "two.txt"
    first.write_text(corpus_text(CHUNK // 6, 2), encoding="utf-8")
    second.write_text(corpus_text(30_000, 3), encoding="utf-8")
    user = tmp_path / "user"
    user.mkdir()
    result = velkor_cmd("train", "m.tok", first, second, "--log", "merges.log", cwd=user)
    assert sorted(os.listdir(user)) == ["m.tok", "merges.log"]
    progress = result.stderr.decode().splitlines()  # not a terminal: one line per chunk
    assert len(progress) == 3 and all(line.startswith("training: ") for line in progress)
    assert progress[-1].startswith(f"training: {first.stat().st_size + second.stat().st_size}/")

    direct = tmp_path / "direct"
    direct.mkdir()
    monkeypatch.chdir(direct)
    (direct / "start.tok").write_bytes(STARTER_MODEL)
    tok = velkor.load_from_file("start.tok")
    tok.train(str(first), True, "x.log")
    tok.train(str(second), True, "x.log")
    assert parse_model((user / "m.tok").read_bytes()) == parse_model((direct / "tokenizer").read_bytes())
    assert (user / "merges.log").read_bytes() == (direct / "log.txt").read_bytes()
    final = parse_model((user / "m.tok").read_bytes())
    assert result.stdout.decode().startswith(
        f"m.tok: {len(final.lookup)} tokens, {len(final.merges)} merges, {final.clusters} clusters, ")


def test_train_on_a_descriptor_name_reads_this_process_s_file(tmp_path):
    # /dev/stdin and /dev/fd/N name descriptors of the command: the training
    # child, which does not share them, trained on its own (empty) standard
    # input and reported success. A file removed while open is read too.
    corpus = tmp_path / "c.txt"
    corpus.write_text(corpus_text(3000, 6), encoding="utf-8")
    velkor_cmd("train", "plain.tok", corpus, cwd=tmp_path)
    expected = parse_model((tmp_path / "plain.tok").read_bytes())
    with open(corpus, "rb") as held, open(corpus, "rb") as stdin:
        fd = held.fileno()
        for model, name in (("stdin.tok", "/dev/stdin"), ("fd.tok", f"/dev/fd/{fd}"), ("gone.tok", f"/dev/fd/{fd}")):
            if model == "gone.tok":
                corpus.unlink()
            subprocess.run([sys.executable, "-m", "velkor_tools", "train", model, name], stdin=stdin,
                           capture_output=True, cwd=tmp_path, timeout=120, pass_fds=(fd,), check=True)
            assert parse_model((tmp_path / model).read_bytes()) == expected, name


def test_one_training_of_a_model_at_a_time(tmp_path):
    from velkor_tools.training.driver import model_lock

    (tmp_path / "c.txt").write_text("some text\n")
    with model_lock(str(tmp_path / "m.tok")):  # held as a running training holds it
        result = velkor_cmd("train", "m.tok", "c.txt", cwd=tmp_path, check=False)
    assert result.returncode == 1 and not (tmp_path / "m.tok").exists()
    assert result.stderr.decode() == "velkor: m.tok: another training of this model is running; wait for it to end\n"
    velkor_cmd("train", "m.tok", "c.txt", cwd=tmp_path)  # free again


def test_train_to_a_vocabulary_size(tmp_path):
    (tmp_path / "c.txt").write_text(corpus_text(2000, 5), encoding="utf-8")
    velkor_cmd("train", "m.tok", "c.txt", "--vocab-size", "40", cwd=tmp_path)
    assert len(parse_model((tmp_path / "m.tok").read_bytes()).lookup) == 40
    for options, message in ((["--vocab-size", "65537"], "to 65536, not 65537"),
                             (["--vocab-size", "40", "--log", "x.log"], "--log keeps the log of one pass")):
        refused = velkor_cmd("train", "m.tok", "c.txt", *options, cwd=tmp_path, check=False)
        assert refused.returncode == 2 and message in refused.stderr.decode()
    assert sorted(os.listdir(tmp_path)) == ["c.txt", "m.tok"]


def _spawn_train(model, corpus, env=None):
    # SIGINT as Python normally gets it, even when the test runner ignores it.
    return subprocess.Popen(
        [sys.executable, "-m", "velkor_tools", "train", str(model), str(corpus)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )


@pytest.fixture(scope="module")
def chunk_models(tmp_path_factory):
    """A three-chunk corpus and the model after each of its chunks (direct calls on prefixes)."""
    work = tmp_path_factory.mktemp("chunks")
    corpus = work / "corpus.txt"
    raw = corpus_text(CHUNK * 3 // 6, 4).encode()[: CHUNK * 3 - 100]
    corpus.write_bytes(raw)
    models = [STARTER_MODEL]
    cwd = os.getcwd()
    try:
        os.chdir(work)
        (work / "start.tok").write_bytes(STARTER_MODEL)
        for chunks in (1, 2, 3):
            (work / "prefix.txt").write_bytes(raw[: CHUNK * chunks])
            velkor.load_from_file("start.tok").train("prefix.txt", False, "x.log")
            models.append((work / "tokenizer").read_bytes())
    finally:
        os.chdir(cwd)
    return corpus, [parse_model(m) for m in models]


def test_model_is_always_a_completed_chunk_under_sigkill(tmp_path, chunk_models):
    corpus, models = chunk_models
    user, private = tmp_path / "user", tmp_path / "tmp"
    user.mkdir(), private.mkdir()
    model = user / "m.tok"
    env = {**os.environ, "TMPDIR": str(private)}
    for delay in (0.2, 0.9, 1.4, 1.9, None):
        model.write_bytes(STARTER_MODEL)
        process = _spawn_train(model, corpus, env)
        if delay is None:  # a run to the end, which also clears the killed runs' directories
            process.communicate()
            assert process.returncode == 0
            assert parse_model(model.read_bytes()) == models[-1] and os.listdir(private) == []
            break
        time.sleep(delay)
        process.kill()
        process.communicate()
        seen = model.read_bytes()
        time.sleep(0.3)  # the training child dies with its parent: nothing changes after
        assert model.read_bytes() == seen
        assert parse_model(seen) in models
        # A kill between naming the complete new model and the rename may
        # leave it under its hidden name; never a partial file.
        for name in os.listdir(user):
            assert name == "m.tok" or parse_model((user / name).read_bytes()) in models, name


def test_ctrl_c_keeps_the_last_completed_chunk(tmp_path, chunk_models):
    corpus, models = chunk_models
    model = tmp_path / "m.tok"
    process = _spawn_train(model, corpus)
    deadline = time.monotonic() + 60
    while not model.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, err = process.communicate(timeout=10)
    assert time.monotonic() - sent < 1.0
    assert process.returncode == 130 and err.endswith(b"velkor: interrupted\n")
    assert parse_model(model.read_bytes()) in models[1:]
    assert os.listdir(tmp_path) == ["m.tok"]


def test_show_marks_boundaries_and_unknown_clusters(trained, tmp_path):
    model, _ = trained
    text = "the cat, café 👍🏽"  # ",", "f" and "é" are not in the model
    shown = velkor_cmd("show", model, text).stdout.decode()
    assert shown.endswith("\n") and "|[?,]|" in shown and "[?f]|[?é]" in shown
    assert shown[:-1].replace("[?", "").replace("]", "").replace("|", "") == text
    tok = velkor.load_from_file(str(model))
    with_ids = velkor_cmd("show", model, "--ids", "-", input=text.encode()).stdout.decode()
    assert [int(part.rsplit("[", 1)[1][:-1]) for part in with_ids[:-1].split("|")] == tok.encode(text)

    velkor_cmd("show", model, text, "--ids", "--html", tmp_path / "t.html")
    page = (tmp_path / "t.html").read_text()
    assert page.count('<span class="unknown"') == 3 and page.count("<sub>") == len(tok.encode(text))


def test_show_tells_a_known_cluster_from_an_unknown_one_sharing_the_oov_id(tmp_path):
    # "oov" maps to the token of "a": "a" is known, " " and "x" are not, as encode counts them.
    model = tmp_path / "m.tok"
    model.write_bytes(tokenizer_image({0: b"", 1: b"a"}, {}, {"oov": 1, "a": 1}))
    shown = velkor_cmd("show", model, "a xa", "--ids", "--strict-unknown", check=False)
    assert shown.returncode == 1 and b"2 clusters the model does not know" in shown.stderr
    shown = velkor_cmd("show", model, "a x", "--ids")
    assert shown.stdout == b"a[1]|[? ][1]|[?x][1]\n"
    assert velkor_cmd("show", model, "aa", "--strict-unknown").stdout == b"a|a\n"


@pytest.mark.parametrize("command", ["", "new", "train", "encode", "decode", "info", "show"])
def test_help_has_a_sentence_and_an_example(command, capsys):
    with pytest.raises(SystemExit):
        main([*command.split(), "--help"])
    text = capsys.readouterr().out
    assert "example" in text and ". " in text.replace("\n", " ")


BAD_INPUTS = [
    # (arguments, standard input, expected in the message)
    (["info", "missing.tok"], None, "missing.tok: no such tokenizer file"),
    (["info", "corrupt.tok"], None, "corrupt.tok: not a valid tokenizer file"),
    (["encode", "."], b"x", ".: is a directory"),
    (["train", "m.tok", "missing.txt"], None, "missing.txt: No such file or directory"),
    (["train", "m.tok", "."], None, ".: is a directory"),
    (["encode", "m.tok", "-o", "out"], b"ok\n\xff\n", "<stdin>:2: invalid UTF-8"),
    (["encode", "m.tok", "--lines", "--format", "npy", "-o", "out"], b"a\nb\n", "exactly one document"),
    (["decode", "m.tok", "ids.txt", "-o", "out"], None, "ids.txt:2: 'x1' is not a token id"),
    (["decode", "m.tok", "-o", "out"], b"0\n70000\n", "<stdin>:2: token id 70000 is out of range"),
    (["decode", "m.tok", "-o", "out"], b"0\n\n5\n", "<stdin>:3: token id 5 is not in the model"),
    (["decode", "m.tok", "-o", "out"], b"0 1_0\n", "<stdin>:1: '1_0' is not a token id"),
    (["decode", "m.tok", "-o", "out"], b"65535\n", "<stdin>:1: token id 65535 is not in the model"),
    (["decode", "m.tok", "--format", "bin", "-o", "out"], b"\0\0\xff\xff", "token id 65535 at position 1 is not in the model"),
    (["decode", "m.tok", "--format", "npy", "-o", "out"],  # one id, but no list of them
     b"\x93NUMPY\x01\x00v\x00{'descr': '<u2', 'fortran_order': False, 'shape': (), }" + b" " * 62 + b"\n\x00\x00",
     "<stdin>: holds a 0-dimensional uint16 array, not a list of token ids"),
    # A header declaring far more than the file holds, and a .npz archive.
    (["decode", "m.tok", "--format", "npy", "-o", "out"],
     b"\x93NUMPY\x01\x00v\x00{'descr': '<u2', 'fortran_order': False, 'shape': (1000000000000000,), }"
     + b" " * 45 + b"\n\x00\x00", "<stdin>: not a NumPy .npy file (its header declares shape"),
    (["decode", "m.tok", "--format", "npy", "-o", "out"], b"PK\x03\x04" + b"\x00" * 60, "<stdin>: not a NumPy .npy file"),
    (["encode", "m.tok", "-o", "no/such/dir/out"], b"x", "no/such/dir/out: cannot write"),
    (["train", "no/such/dir/m.tok", "ids.txt", "--vocab-size", "300"], None, "no/such/dir/m.tok: cannot write"),
    (["show", "m.tok", "--html", "out"], b"\xc3(", "<stdin>:1: invalid UTF-8"),
    (["train", "new.tok", "-", "--errors", "strict"], b"ok\n\xff\n", "<stdin>:2: invalid UTF-8"),
    (["train", "/dev/stdin", "ids.txt"], b"", "/dev/stdin: names a descriptor, not a file"),
    (["encode", "nooov.tok", "-o", "out"], b"ab", "nooov.tok: the model cannot encode this text"),
    (["show", "nooov.tok", "ab", "--html", "out"], None, "nooov.tok: the model cannot encode this text"),
    (["decode", "m.tok", "-o", "."], b"0\n", ".: is a directory"),
    # Outputs that would destroy the model, and a model without "oov" under the complete encoding.
    (["encode", "m.tok", "-o", "m.tok"], b"x", "-o m.tok: is the model file"),
    (["decode", "m.tok", "-o", "./m.tok"], b"0\n", "-o ./m.tok: is the model file"),
    (["show", "m.tok", "ab", "--html", "m.tok"], None, "--html m.tok: is the model file"),
    (["train", "new.tok", "ids.txt", "--log", "./new.tok"], None, "is the same file as new.tok"),
    (["stats", "nooov.tok", "-"], b"ab", "nooov.tok: the model cannot encode this text"),
    (["show", "nooov.tok", "ab", "--complete"], None, "nooov.tok: the model cannot encode this text"),
    (["train", "m.tok", "./m.tok"], None, "./m.tok: is the model file; a model is not trained on itself"),
    # Trimming a model that is already larger reads no corpus, but a missing one is still named.
    (["train", "nooov.tok", "missing.txt", "--vocab-size", "1"], None, "missing.txt: No such file or directory"),
    (["train", "m.tok", "m.tok", "--vocab-size", "1"], None, "m.tok: is the model file"),  # no pass needed
    # A device as MODEL is read no further than its model goes.
    (["stats", "/dev/zero", "-"], b"ab", "/dev/zero: the model cannot encode this text"),
    # Hand-made models: 65,536 merges (too many for the complete encoding), a merge
    # into one of its own parts, a real token at id 0 (which training empties).
    (["stats", "many.tok", "-"], b"ab", "many.tok: the model cannot encode this text"),
    (["show", "cycle.tok", "ab"], None, "cycle.tok: the model cannot encode this text (the model's tokens do not spell"),
    (["train", "id0.tok", "ids.txt"], None, "id0.tok: id 0 is not the empty token"),
    (["train", "/dev/null", "ids.txt"], None, "/dev/null: not a regular file"),
    (["train", "pipe.tok", "ids.txt", "--vocab-size", "5"], None, "pipe.tok: not a regular file"),  # was waited on
    (["show", "m.tok", "ab", "--html", ""], None, ": cannot write"),  # not the plain view, status 0
    (["decode", "m.tok", "-o", "out"], b"0 " + b"9" * 5000, "token id 999999999999999999999999... is out of range"),
]


@pytest.mark.parametrize("args,stdin,message", BAD_INPUTS)
def test_bad_input_is_one_line_and_leaves_no_output(tmp_path, args, stdin, message):
    (tmp_path / "m.tok").write_bytes(STARTER_MODEL)
    (tmp_path / "corrupt.tok").write_bytes(STARTER_MODEL[:30])
    (tmp_path / "ids.txt").write_text("0 0\n0 x1\n")
    (tmp_path / "nooov.tok").write_bytes(tokenizer_image({0: b"", 1: b"a"}, {}, {"a": 1}))  # no "oov"
    ab = {0: b"", 1: b"a", 2: b"b"}, {"oov": 0, "a": 1, "b": 2}
    (tmp_path / "cycle.tok").write_bytes(tokenizer_image(ab[0], {(1, 2): 1}, ab[1]))
    (tmp_path / "id0.tok").write_bytes(tokenizer_image({0: b"a", 1: b""}, {}, {"a": 0, "oov": 1}))
    if "pipe.tok" in args:
        os.mkfifo(tmp_path / "pipe.tok")
    if "many.tok" in args:
        (tmp_path / "many.tok").write_bytes(tokenizer_image(ab[0], {(i >> 8, i & 255): 1 for i in range(65536)}, ab[1]))
    before = sorted(os.listdir(tmp_path))
    result = velkor_cmd(*args, input=stdin or b"", cwd=tmp_path, check=False)
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velkor: ") and message in lines[0], lines
    assert sorted(os.listdir(tmp_path)) == before


def test_model_from_a_fifo_is_read_once(tmp_path):
    # info and show opened MODEL twice, encode and stats a damaged one: the second open waited for ever.
    import threading

    fifo = tmp_path / "pipe.tok"
    os.mkfifo(fifo)
    for args, image, status in [(["info", fifo], STARTER_MODEL, 0), (["show", fifo, "ab"], STARTER_MODEL, 0),
                                (["encode", fifo, "/dev/null"], STARTER_MODEL[:20], 1)]:
        writer = threading.Thread(target=fifo.write_bytes, args=(image,), daemon=True)
        writer.start()
        assert velkor_cmd(*args, check=False).returncode == status
        writer.join()


def test_an_entry_too_long_for_the_module_ends_a_streamed_model():
    head = struct.pack("<QHQ", 1, 1, 1 << 32)  # the module refuses it unread
    read, write = os.pipe()
    os.write(write, head + b"more")
    os.close(write)
    with os.fdopen(read, "rb") as stream:
        assert read_image(stream) == head


def test_setting_and_read_only_output_are_named(tmp_path):
    (tmp_path / "m.tok").write_bytes(STARTER_MODEL)
    for setting, fault in [("abc", "a whole number, not 'abc'"), ("0", "at least 1, not 0")]:  # not the model's fault
        result = subprocess.run([sys.executable, "-m", "velkor_tools", "encode", "m.tok", "-"], input=b"ab",
                                cwd=tmp_path, capture_output=True, env={**os.environ, "VELKOR_NUM_THREADS": setting})
        assert result.stderr.decode() == f"velkor: VELKOR_NUM_THREADS must be {fault}\n"
    if os.geteuid() != 0:  # root may write any file
        (tmp_path / "ro.txt").write_bytes(b"keep")
        (tmp_path / "ro.txt").chmod(0o444)
        result = velkor_cmd("encode", "m.tok", "-", "-o", "ro.txt", input=b"ab", cwd=tmp_path, check=False)
        assert result.returncode == 1 and b"read-only" in result.stderr
        assert (tmp_path / "ro.txt").read_bytes() == b"keep"
