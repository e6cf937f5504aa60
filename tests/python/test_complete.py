"""The complete encoding (merge while any adjacent pair is a learned merge) and `velkor stats`."""

import contextlib
import json
import os
import re
import subprocess
import sys

import numpy
import pytest

import velkor
import velkor_tools

from conftest import tokenizer_image
from tokenizer_model import TEXTS, train_model
from velkor_tools import Tokenizer
from velkor_tools.errors import ToolError
from velkor_tools.files import split_lines
from velkor_tools.model import parse_model

# a 1, b 2, c 3, "oov" 0; (1, 2) -> 4, (2, 3) -> 5, (4, 4) -> 6.
WORKED = tokenizer_image(
    {0: b"", 1: b"a", 2: b"b", 3: b"c", 4: b"ab", 5: b"bc", 6: b"abab"},
    {(1, 2): 4, (2, 3): 5, (4, 4): 6},
    {"oov": 0, "a": 1, "b": 2, "c": 3},
)


@pytest.mark.parametrize(
    "text, standard, complete",
    [("abcab", [4, 3, 4], [4, 3, 4]), ("cccab", [3, 3, 3, 1, 2], [3, 3, 3, 4]), ("abab", [6], [6]),
     ("axb", [1, 0, 2], [1, 0, 2])],
)
def test_worked_examples(text, standard, complete):
    tok = Tokenizer.from_bytes(WORKED)
    assert tok.encode(text) == standard
    assert tok.encode(text, complete=True) == complete
    assert tok.encode_batch([text], complete=True) == [complete]


def test_complete_ids_decode_and_leave_no_learned_pair(tmp_path):
    path = train_model(tmp_path)
    tok = Tokenizer.from_file(path)
    merges = parse_model(path.read_bytes()).merges
    for text in TEXTS[:-1] + [TEXTS[-1] * 20]:
        ids = tok.encode(text, complete=True)
        # The same text back as the standard ids give (unknown clusters dropped).
        assert tok.decode(ids) == tok.decode(tok.encode(text))
        assert tok.unknown_clusters(text) or tok.decode(ids) == text
        assert not any((a, b) in merges for a, b in zip(ids, ids[1:]))
        assert len(ids) <= len(tok.encode(text))
        assert list(tok.encode_to_numpy(text, complete=True)) == ids


def test_stats_agrees_with_the_encoders(tmp_path):
    path = train_model(tmp_path)
    tok = Tokenizer.from_file(path)
    text = TEXTS[3] + TEXTS[4]
    (tmp_path / "a.txt").write_text(text)

    def stats(*args):
        out = subprocess.run([sys.executable, "-m", "velkor_tools", "stats", str(path), *args, "--json"],
                             cwd=tmp_path, capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    report = stats("a.txt", "a.txt")
    row, again = report["files"]
    assert row["tokens"] == len(tok.encode(text))
    assert row["tokens_complete"] == len(tok.encode(text, complete=True))
    assert row["unknown_clusters"] == sum(tok.unknown_clusters(text).values())
    assert row["clusters"] == tok.count_clusters(text)
    assert row["bytes"] == len(text.encode())
    total = report["total"]
    assert (total["tokens"], total["bytes"]) == (2 * row["tokens"], 2 * row["bytes"]) and again == row
    assert total["bytes_per_token"] == row["bytes_per_token"] == round(row["bytes"] / row["tokens"], 4)
    # --lines: each line a document, its line end not counted.
    assert stats("a.txt", "--lines")["total"]["tokens"] == sum(len(tok.encode(line)) for line in split_lines(text))
    # --complete on encode and show gives the same ids as the Tokenizer.
    for command, ids_in in ((["encode", "a.txt"], str.split), (["show", "-", "--ids"], re.compile(r"\[(\d+)\]").findall)):
        out = subprocess.run(
            [sys.executable, "-m", "velkor_tools", command[0], str(path), *command[1:], "--complete"],
            cwd=tmp_path, input=text, capture_output=True, text=True, check=True,
        )
        assert list(map(int, ids_in(out.stdout))) == tok.encode(text, complete=True) != tok.encode(text)
    subprocess.run([sys.executable, "-m", "velkor_tools", "encode", str(path), "a.txt", "--complete", "--format", "npy",
                    "-o", "a.npy"], cwd=tmp_path, check=True)
    assert numpy.load(tmp_path / "a.npy").tolist() == tok.encode(text, complete=True)


def test_vocab_size_trim_leaves_a_consistent_model(tmp_path, monkeypatch):
    path = train_model(tmp_path)
    before = parse_model(path.read_bytes())
    size = len(before.lookup) - 25
    tok = velkor_tools.train(path, [], vocab_size=size, progress=False)  # already larger: trim only
    after = parse_model(path.read_bytes())
    assert len(tok) == size and set(after.lookup) == set(range(size))
    assert set(after.unicode_lookup) == set(before.unicode_lookup)  # every cluster token stays
    assert all({a, b, m} <= set(after.lookup) for (a, b), m in after.merges.items())
    assert all(after.lookup[a] + after.lookup[b] == after.lookup[m] for (a, b), m in after.merges.items())
    data = velkor.load_from_file(str(path))
    assert [data.decode([i]) for i in range(size)] == [after.lookup[i].decode() for i in range(size)]
    monkeypatch.chdir(tmp_path)
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        data.train("train.txt", False, "logs")  # trains on from the trimmed model
    text = (tmp_path / "train.txt").read_text()
    assert data.decode(data.encode(text)) == text
    # A size the files cannot reach: the model stays as large as they make it, and says so.
    with pytest.warns(UserWarning, match="short of 60000"):
        assert len(velkor_tools.train(path, ["train.txt"], vocab_size=60000, progress=False)) < 60000
    with pytest.warns(UserWarning, match=r"cluster tokens \(.*\) alone are more than 2: all kept"):
        assert len(velkor_tools.train(path, [], vocab_size=2, progress=False)) == len(after.unicode_lookup)


def _binary_model(count):
    """Tokens a, b and every string of them up to count tokens, each merged from its prefix."""
    lookup, merges, ids, frontier = {0: b"", 1: b"a", 2: b"b"}, {}, {b"a": 1, b"b": 2}, [b"a", b"b"]
    while len(lookup) < count:
        frontier = [left + right for left in frontier for right in (b"a", b"b")]
        for text in frontier[: count - len(lookup)]:
            ids[text] = len(lookup)
            lookup[ids[text]] = text
            merges[(ids[text[:-1]], ids[text[-1:]])] = ids[text]
    return tokenizer_image(lookup, merges, {"oov": 0, "a": 1, "b": 2})


def test_vocab_size_at_the_id_limit_and_odd_models(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    # Training that runs out of ids stops the passes (the last completed chunk kept), not the command.
    (tmp_path / "full.tok").write_bytes(_binary_model(65530))
    (tmp_path / "t.txt").write_bytes(b"\xff" + "".join("cdefghij"[(i * 7919) % 8] for i in range(20000)).encode())
    with pytest.warns(UserWarning) as warned:
        assert len(velkor_tools.train("full.tok", ["t.txt"], vocab_size=65536, progress=False)) == 65530
    assert [str(w.message).split(": ", 1)[1] for w in warned] == [
        "trained with 1 byte of the files replaced by U+FFFD (not UTF-8)",
        "65530 tokens, short of 65536: a chunk ran out of token ids"]
    # The starter model already holds one token: no pass runs, and the model is still written.
    assert len(velkor_tools.train("new.tok", ["t.txt"], vocab_size=1, progress=False)) == 1
    with pytest.raises(ToolError, match="^vocab_size must be from 1"):
        velkor_tools.train("new.tok", ["t.txt"], vocab_size=0, progress=False)
    (tmp_path / "bad.txt").write_bytes(b"ab\xff" * 10)
    with pytest.warns(UserWarning, match="with 10 bytes of the files replaced by U"):
        velkor_tools.train("bad.tok", ["bad.txt"], progress=False)
    # Training writes the empty "oov" token at id 0 over whatever the renumbering put there.
    (tmp_path / "no0.tok").write_bytes(tokenizer_image({1: b"a", 2: b"b", 3: b"ab"}, {(1, 2): 3}, {"a": 1, "b": 2}))
    with pytest.raises(ToolError, match="id 0 is not the empty token"):
        velkor_tools.train("no0.tok", [], vocab_size=2, progress=False)


def test_train_in_a_removed_directory_raises_tool_error(tmp_path):
    # A relative model path there raised a bare, nameless FileNotFoundError.
    gone = tmp_path / "gone"
    gone.mkdir()
    previous = os.getcwd()
    os.chdir(gone)
    try:
        gone.rmdir()
        with pytest.raises(ToolError, match="current directory no longer exists"):
            velkor_tools.train("m.tok", [], progress=False)
    finally:
        os.chdir(previous)
