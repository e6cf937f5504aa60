"""velkor_tools/utf8.py: one policy for invalid UTF-8 in encode, show and train."""

import io
import subprocess
import sys

import pytest

import velkor
from velkor_tools.cli import main
from velkor_tools.training.driver import CHUNK_BYTES, scan_corpus
from velkor_tools.errors import ToolError
from conftest import tokenizer_image
from velkor_tools.utf8 import StreamDecoder

BAD = b"ok\r\nab\xffc\n"  # line 2, byte 6: the "\r" of a line end counts too
MESSAGE = "velkor: {}:2: invalid UTF-8 at byte 6 (--errors replace substitutes U+FFFD)\n"


@pytest.mark.parametrize("command", [["encode"], ["encode", "--lines"], ["show"]])
def test_every_reader_refuses_with_one_message_and_replace_substitutes(tmp_path, monkeypatch, capsys, command):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.tok").write_bytes(tokenizer_image({0: b"", 1: "\ufffd".encode()}, {}, {"oov": 0, "\ufffd": 1}))
    (tmp_path / "in.txt").write_bytes(BAD)
    name, args = ("<stdin>", ["-"]) if command == ["show"] else ("in.txt", ["in.txt"])
    output = ["-o" if command[0] == "encode" else "--html", "out"]
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(BAD)))
    assert main([*command, "m.tok", *args, *output]) == 1
    assert capsys.readouterr().err == MESSAGE.format(name)
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(BAD)))
    assert main([*command, "m.tok", *args, "--errors", "replace", *output]) == 0
    if command[0] == "encode":
        text = BAD.decode(errors="replace")
        texts = text.splitlines() if "--lines" in command else [text]
        ids = [" ".join(map(str, velkor.load_from_file("m.tok").encode(text))) for text in texts]
        assert (tmp_path / "out").read_text() == "".join(line + "\n" for line in ids)
        assert "1" in ids[-1].split()


def test_stream_joins_cut_sequences_and_places_errors_in_the_file():
    stream = StreamDecoder("f")
    assert stream.feed(b"a\n\xe6\x97") + stream.feed(b"\xa5\n") == "a\n日\n"
    with pytest.raises(ToolError, match=r"^f:3: invalid UTF-8 at byte 7 "):
        stream.feed(b"x\xe6\x97", final=True)  # a sequence the file cuts short
    stream = StreamDecoder("f")
    stream.feed(b"\n\xe6")
    with pytest.raises(ToolError, match=r"^f:2: invalid UTF-8 at byte 1 "):
        stream.feed(b"a")


def test_train_counts_replaced_bytes_and_strict_refuses_before_training(tmp_path):
    (tmp_path / "c.txt").write_bytes(b"ab \xff\xfe \xe6\x97 ab\n" * 3)

    def train(*options):
        command = [sys.executable, "-m", "velkor_tools", "train", "m.tok", "c.txt", *options]
        return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)

    refused = train("--errors", "strict")
    assert refused.returncode == 1 and not (tmp_path / "m.tok").exists()
    assert refused.stderr == "velkor: c.txt:1: invalid UTF-8 at byte 3 (--errors replace substitutes U+FFFD)\n"
    assert train().stdout.rstrip().endswith(", 12 bytes replaced by U+FFFD")

    # A character cut by the chunk boundary is replaced too: valid, but counted.
    (tmp_path / "cut.txt").write_bytes(b"a" * (CHUNK_BYTES - 1) + "é".encode() + b"\xff")
    with pytest.raises(ToolError, match=f"byte {CHUNK_BYTES + 1} "):
        scan_corpus(str(tmp_path / "cut.txt"), "strict")
    assert scan_corpus(str(tmp_path / "cut.txt"), "replace") == 3
