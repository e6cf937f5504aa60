"""train: chunks to ids, the merge passes, the saves, console lines and logs."""

import io
import json
import os
import random
import re
import stat
import subprocess
import sys
import textwrap
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velkor
from conftest import MINIMAL_IMAGE

BANNER = (
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n"
)
SEPARATOR = "\n" + "-" * 83 + "\n"
STARTED = "Just Started\n"
CONVERTED = "Finish converting new read chunk to tokens\n"
RECORD = re.compile(r"Token (\d+) \| Merge \((\d+), (\d+)\) \| (\d+) Times \| Loop (\d+)")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def fresh(workdir):
    (workdir / "model").write_bytes(MINIMAL_IMAGE)
    return velkor.load_from_file("model")


def test_worked_example(fresh, workdir, capfd):
    (workdir / "train.txt").write_text("abab")
    capfd.readouterr()
    assert fresh.train("train.txt", False, "train.log") is None
    assert capfd.readouterr().out == STARTED + CONVERTED + BANNER
    assert sorted(fresh.vocab()) == [0, 1, 2]
    assert fresh.encode("abab") == [1, 2, 1, 2]
    assert (workdir / "train.log").read_text() == SEPARATOR
    saved = velkor.load_from_file("tokenizer")
    assert saved.encode("ba") == [2, 1]
    assert saved.decode([1, 2, 0]) == "ab"


def test_print_logs_writes_records_to_log_txt(fresh, workdir, capfd):
    (workdir / "train.txt").write_text("ab" * 20)
    (workdir / "log.txt").write_text("earlier\n")
    capfd.readouterr()
    fresh.train(train_file="train.txt", print_logs=True, logs_file="train.log")
    records = (
        "Token 3 | Merge (1, 2) | 20 Times | Loop 0\n"
        "Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"
    )
    assert capfd.readouterr().out == STARTED + CONVERTED + records + BANNER
    assert (workdir / "train.log").read_bytes() == b"Started \n "
    assert (workdir / "log.txt").read_text() == "earlier\n" + records + SEPARATOR
    assert fresh.encode("ab" * 4) == [4, 4]
    assert fresh.decode([4]) == "abab"


def test_console_bypasses_sys_stdout(fresh, workdir, capfd, monkeypatch):
    (workdir / "empty.txt").write_bytes(b"")
    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stdout", replaced)
    capfd.readouterr()
    fresh.train("empty.txt", False, "train.log")
    assert replaced.getvalue() == ""
    assert capfd.readouterr().out == STARTED
    assert not (workdir / "tokenizer").exists()


def test_failures(fresh, workdir, PanicException):
    with pytest.raises(PanicException) as caught:
        fresh.train("missing.txt", False, "train.log")
    assert str(caught.value).startswith("Train File Not Existed: Os { code: 2, kind: NotFound")
    assert (workdir / "train.log").exists()

    (workdir / "folder").mkdir()
    with pytest.raises(PanicException) as caught:
        fresh.train("folder", False, "train.log")
    assert str(caught.value).startswith("To Work: Os { code: 21")

    (workdir / "train.txt").write_text("abab")
    with pytest.raises(PanicException) as caught:
        fresh.train("train.txt", True, str(workdir / "train.txt"))
    assert "training file itself" in str(caught.value)
    assert (workdir / "train.txt").read_text() == "abab"

    (workdir / "tokenizer").write_bytes(MINIMAL_IMAGE)
    with pytest.raises(PanicException) as caught:
        fresh.train(str(workdir / "tokenizer"), False, "other.log")
    assert '"tokenizer"' in str(caught.value)
    assert (workdir / "tokenizer").read_bytes() == MINIMAL_IMAGE
    assert not (workdir / "other.log").exists()
    assert sorted(fresh.vocab()) == [0]


def test_file_modes(fresh, workdir):
    # New files are 666 less the creation mask; a replaced "tokenizer" keeps
    # the mode it had, as truncating it would.
    (workdir / "train.txt").write_text("abab")
    previous = os.umask(0o027)
    try:
        fresh.train("train.txt", False, "train.log")
        assert [stat.S_IMODE(os.stat(name).st_mode) for name in ("tokenizer", "train.log")] == [0o640] * 2
        os.chmod("tokenizer", 0o604)
        fresh.train("train.txt", False, "train.log")
        assert stat.S_IMODE(os.stat("tokenizer").st_mode) == 0o604
    finally:
        os.umask(previous)


def test_encode_after_train_sees_what_it_learned(fresh, workdir):
    # Ids that earlier encodes remembered must not outlive the training.
    assert fresh.encode("ab" * 4) == [0] * 8
    (workdir / "train.txt").write_text("ab" * 20)
    fresh.train("train.txt", False, "train.log")
    assert fresh.encode("ab" * 4) == [4, 4]


def test_self_feeding_is_refused(fresh, workdir, PanicException):
    # Training reading "log.txt" while appending records to it would never
    # end; a log file that is "tokenizer" would truncate the saved model.
    (workdir / "log.txt").write_text("ab" * 20)
    (workdir / "tokenizer").write_bytes(MINIMAL_IMAGE)
    os.link("log.txt", "hard.txt")
    os.symlink("tokenizer", "soft.log")
    for args, match in [
        (("log.txt", True, "a.log"), '"log.txt"'),
        (("hard.txt", True, "a.log"), '"log.txt"'),
        (("hard.txt", False, "tokenizer"), '"tokenizer"'),
        (("hard.txt", False, "soft.log"), '"tokenizer"'),
    ]:
        with pytest.raises(PanicException, match=match):
            fresh.train(*args)
    assert (workdir / "log.txt").read_text() == "ab" * 20
    assert (workdir / "tokenizer").read_bytes() == MINIMAL_IMAGE
    assert not (workdir / "a.log").exists()


def test_new_ids_skip_ids_in_use(load, workdir):
    # "b" would take id 3 (the entry count), which "c" holds: it takes 4.
    data = load(lookup={0: b"", 1: b"a", 3: b"c"}, unicode_lookup={"oov": 0, "a": 1, "c": 3})
    (workdir / "train.txt").write_text("abc")
    data.train("train.txt", False, "train.log")
    assert data.decode([3]) == "c"
    assert data.encode("b") == [4]
    assert data.decode([4]) == "b"


def test_keyboard_interrupt_between_chunks(workdir):
    # The training file is a pipe fed by another process (train holds the
    # interpreter lock, so no thread of ours could feed it): the first chunk
    # is written, and once its save exists the trainer gets SIGINT while it
    # waits for the second chunk, so the interrupt lands inside train every
    # time. The trainer is a child process too, so a stray KeyboardInterrupt
    # cannot reach pytest.
    (workdir / "model").write_bytes(MINIMAL_IMAGE)
    (workdir / "abab.txt").write_text("abab")
    feeder = textwrap.dedent(
        """
        import os, signal, sys, time

        with open("feed", "wb", buffering=0) as pipe:
            pipe.write(b"ab" * 20)
            while not os.path.exists("tokenizer"):
                time.sleep(0.01)
            os.kill(int(sys.argv[1]), signal.SIGINT)
            try:
                pipe.write(b"abab")
            except BrokenPipeError:  # the trainer stopped before reading on
                pass
        """
    )
    trainer = textwrap.dedent(
        """
        import json, os, subprocess, sys, velkor

        os.mkfifo("feed")
        data = velkor.load_from_file("model")
        feeder = subprocess.Popen([sys.executable, "-c", sys.argv[1], str(os.getpid())])
        try:
            data.train("feed", False, "log")
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        feeder.wait()
        saved = velkor.load_from_file("tokenizer")
        data.train("abab.txt", False, "log")
        print(json.dumps({
            "outcome": outcome,
            "vocab": sorted(data.vocab()),
            "saved": sorted(saved.vocab()),
            "encoded": data.encode("ab" * 4),
        }))
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", trainer, feeder],
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    assert report == {
        "outcome": "interrupted",
        "vocab": [0, 1, 2, 3, 4],
        "saved": [0, 1, 2, 3, 4],
        "encoded": [4, 4],
    }


# Grapheme clusters of several scripts, some of several code points.
CLUSTERS = [
    "e\u0301", "\r\n", "\u0915\u094d", "\u0937", "\U0001f1eb\U0001f1f7", "\U0001f469\u200d\U0001f4bb",
    "\u00e9", "\u0436", "\u03bb", "\u4e2d", "\u6587", "\uac00", "\u0627", "\u05d0", " ", "\n", "^",
]


@pytest.fixture(scope="module")
def corpus_model(tmp_path_factory):
    """A model trained on a mixed-script corpus, and its working directory."""
    folder = tmp_path_factory.mktemp("round_trip")
    previous = os.getcwd()
    os.chdir(folder)
    try:
        (folder / "model").write_bytes(MINIMAL_IMAGE)
        (folder / "corpus.txt").write_text(
            mixed_corpus(20_000) + "".join(CLUSTERS) * 12, encoding="utf-8", newline=""
        )
        data = velkor.load_from_file("model")
        data.train("corpus.txt", False, "train.log")
    finally:
        os.chdir(previous)
    return data, folder


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    parts=st.lists(
        st.one_of(st.sampled_from(CLUSTERS), st.characters(codec="utf-8"), st.just("ab ")),
        max_size=80,
    )
)
def test_decode_inverts_encode_for_known_clusters(corpus_model, parts):
    data, folder = corpus_model
    text = "".join(parts)
    previous = os.getcwd()
    os.chdir(folder)
    try:
        # Training on the text itself makes every cluster of it known.
        (folder / "example.txt").write_text(text, encoding="utf-8", newline="")
        data.train("example.txt", False, "example.log")
    finally:
        os.chdir(previous)
    ids = data.encode(text)
    assert data.decode(ids) == text
    assert len(ids) <= len(text)


def mixed_corpus(characters: int) -> str:
    """Words of seven scripts in a skewed mix; every code point is a cluster
    of its own (letters only: no marks, joiners, CR or jamo)."""
    rng = random.Random(20261208)
    alphabets = [
        "abcdefghijklmnopqrstuvwxyz",
        "абвгдежзийклмнопрстуфхцчшщыэюя",
        "αβγδεζηθικλμνξοπρστυφχψω",
        "".join(chr(0x4E00 + i) for i in range(0, 600, 3)),
        "".join(chr(c) for c in range(0x3042, 0x3094, 2)),
        "".join(chr(0xAC00 + 28 * i) for i in range(60)),
        "".join(chr(c) for c in list(range(0x0627, 0x063B)) + list(range(0x0641, 0x064B))),
    ]
    words = [
        "".join(rng.choice(alphabet) for _ in range(rng.randint(2, 6)))
        for alphabet in alphabets
        for _ in range(60)
    ]
    weights = [1 / (rank + 1) for rank in range(len(words))]
    rng.shuffle(words)
    out, size = [], 0
    while size < characters:
        word = rng.choices(words, weights)[0]
        out.append(word)
        out.append("\n" if rng.random() < 0.08 else " ")
        size += len(word) + 1
    return "".join(out)


def replace(seq, pair, merged):
    out, i = [], 0
    while i < len(seq):
        if i + 1 < len(seq) and (seq[i], seq[i + 1]) == pair:
            out.append(merged)
            i += 2
        else:
            out.append(seq[i])
            i += 1
    return out


def test_replay_of_learned_merges(fresh, workdir, capfd):
    text = mixed_corpus(30_000)
    (workdir / "corpus.txt").write_text(text, encoding="utf-8")
    capfd.readouterr()
    fresh.train("corpus.txt", False, "train.log")
    out = capfd.readouterr().out
    records = [tuple(map(int, m.groups())) for m in RECORD.finditer(out)]
    assert len(records) > 100

    ids = {}
    seq = [ids.setdefault(ch, len(ids) + 1) for ch in text]
    next_id = len(ids) + 1
    for loop, (token, left, right, count, logged_loop) in enumerate(records):
        counts = Counter(zip(seq, seq[1:]))
        assert logged_loop == loop
        assert token == next_id
        assert count >= 10
        assert counts[(left, right)] == count == max(counts.values())
        seq = replace(seq, (left, right), token)
        next_id += 1
    if len(records) < 700:
        assert max(Counter(zip(seq, seq[1:])).values()) < 10
    assert fresh.encode(text[:2000]) and fresh.decode(fresh.encode(text)) == text
    for token, left, right, _, _ in records[:50]:
        assert fresh.decode([token]) == fresh.decode([left, right])
