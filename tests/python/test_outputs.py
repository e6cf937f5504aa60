"""Where the command's outputs go (velkor_tools/files.py and the cli): special
files, full disks, files that must not be overwritten, links, closed streams."""

import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import threading

import pytest

from velkor_tools.errors import ToolError
from velkor_tools.files import atomic_output, write_atomically
from velkor_tools.model import STARTER_MODEL, parse_model

TEXT = "the cat sat on the mat " * 4000


def run(*args, cwd, input=b"", limit=None, stdout=subprocess.PIPE, stdin=None):
    def set_limit():  # a file size limit: writes beyond it fail as on a full disk
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return subprocess.run(
        [sys.executable, "-m", "velkor_tools", *map(str, args)], input=input, stdout=stdout, stdin=stdin,
        stderr=subprocess.PIPE, cwd=cwd, timeout=120, preexec_fn=None if limit is None else set_limit,
    )


@pytest.fixture
def work(tmp_path):
    (tmp_path / "m.tok").write_bytes(STARTER_MODEL)
    (tmp_path / "t.txt").write_text(TEXT)
    return tmp_path


@pytest.mark.parametrize("option", [["encode", "m.tok", "t.txt", "-o"], ["show", "m.tok", "ab", "--html"],
                                    ["train", "m.tok", "t.txt", "--log"]])
def test_a_fifo_output_is_written_not_replaced(work, option):
    os.mkfifo(work / "f")
    received = []
    reader = threading.Thread(target=lambda: received.append((work / "f").read_bytes()))
    reader.start()
    result = run(*option, "f", cwd=work)
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert (work / "f").is_fifo() and received and received[0]


@pytest.mark.parametrize("args", [["encode", "m.tok", "t.txt"], ["encode", "m.tok", "t.txt", "--format", "bin"],
                                  ["encode", "m.tok", "t.txt", "--format", "npy"], ["show", "m.tok", "-"],
                                  ["encode", "m.tok", "t.txt", "-o", "out"]])
def test_a_short_write_fails_in_one_line(work, args):
    with open(work / "sink", "wb") as sink:
        result = run(*args, cwd=work, input=TEXT.encode(), limit=4096, stdout=sink)
    assert result.returncode == 1
    last = result.stderr.decode().splitlines()[-1]  # after the warning about unknown clusters
    assert "Traceback" not in result.stderr.decode() and last.startswith("velkor: ") and "cannot write" in last


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("buffered", [True, False])
def test_short_texts_into_a_full_device_fail(work, buffered):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    for args in (["--help"], ["--version"], ["info", "--help"], ["info", "m.tok"], ["stats", "m.tok", "t.txt"],
                 ["train", "m.tok", "t.txt", "--verbose"]):
        with open("/dev/full", "wb") as full:
            result = subprocess.run([sys.executable, "-m", "velkor_tools", *args], stdout=full,
                                    stderr=subprocess.PIPE, cwd=work, env=env, timeout=60)
        assert result.returncode == 1, args
        assert result.stderr.decode().splitlines() == ["velkor: standard output: cannot write: No space left on device"]


def test_npy_into_a_closed_pipe_ends_quietly(work):
    with subprocess.Popen([sys.executable, "-m", "velkor_tools", "encode", "m.tok", "t.txt", "--format", "npy"],
                          cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        child.stdout.read(10)
        child.stdout.close()
        assert child.stderr.read() == b""


def test_the_log_never_overwrites_an_input_the_model_or_a_stranger(work):
    (work / "notes.txt").write_text("my notes\n")
    for log, message in (("t.txt", "same file as t.txt"), ("m.tok", "same file as m.tok"),
                         ("notes.txt", "not a merge log")):
        before = (work / log).read_bytes()
        result = run("train", "m.tok", "t.txt", "--log", log, cwd=work)
        assert result.returncode == 1 and message in result.stderr.decode()
        assert (work / log).read_bytes() == before and (work / "m.tok").read_bytes() == STARTER_MODEL
    assert run("train", "m.tok", "t.txt", "--log", "merges.log", cwd=work).returncode == 0
    assert run("train", "m.tok", "t.txt", "--log", "merges.log", cwd=work).returncode == 0  # a log again


def test_a_linked_model_is_trained_through_its_link(work):
    os.symlink("m.tok", work / "link.tok")
    assert run("train", "link.tok", "t.txt", cwd=work).returncode == 0
    assert (work / "link.tok").is_symlink() and (work / "m.tok").read_bytes() != STARTER_MODEL


def test_training_from_a_pipe_gives_the_model_of_the_file(work):
    (work / "t.txt").write_text(TEXT * 3)  # longer than one read of a pipe
    assert run("train", "m.tok", "t.txt", cwd=work).returncode == 0
    expected = parse_model((work / "m.tok").read_bytes())  # the maps: the save order of entries varies
    for source in ("-", "/dev/fd/0"):
        (work / "p.tok").write_bytes(STARTER_MODEL)
        with subprocess.Popen(["cat", "t.txt"], cwd=work, stdout=subprocess.PIPE) as cat:
            result = run("train", "p.tok", source, cwd=work, input=None, stdin=cat.stdout)
        assert result.returncode == 0, result.stderr
        assert parse_model((work / "p.tok").read_bytes()) == expected


def test_closed_streams_give_a_status_not_a_traceback(work):
    def shell(command):
        velkor = f"{sys.executable} -m velkor_tools"
        return subprocess.run(f"{velkor} {command}", shell=True, cwd=work, capture_output=True, timeout=60)

    assert shell("encode m.tok t.txt -o out 2>&-").returncode == 0 and (work / "out").stat().st_size > 0
    assert shell("info m.tok >&-").returncode == 1
    assert shell("encode m.tok t.txt -o out2 >&-").returncode == 0
    # Every closed descriptor gets /dev/null, the one a first open takes too.
    guard = "import os; from velkor_tools.streams import guard_closed_descriptors as g; g(); os.fstat(0)"
    assert subprocess.run(f"{sys.executable} -c '{guard}' <&- 2>&-", shell=True, timeout=60).returncode == 0
    for command in ("encode m.tok <&-", "show m.tok <&-", "train m.tok - <&-"):
        result = shell(command)
        assert result.returncode == 1 and b"standard input is closed" in result.stderr, result.stderr


def test_names_that_are_not_utf8(work):
    model, corpus = os.fsdecode(b"m\xff.tok"), os.fsdecode(b"t\xfe.txt")
    os.rename(work / "t.txt", work / corpus)
    for args in (["new", model], ["train", model, corpus], ["encode", model, corpus, "-o", "ids"],
                 ["show", model, "ab", "--html", "page.html"], ["info", model]):
        result = run(*args, cwd=work)
        assert result.returncode == 0 and b"Traceback" not in result.stderr, result.stderr
    assert result.stdout.startswith(b"m\xff.tok\n")
    folder = os.fsdecode(b"d\xfd")
    (work / folder).mkdir()
    refused = run("train", model, folder, cwd=work)  # not its private link's name
    assert refused.returncode == 1 and refused.stderr.startswith(b"velkor: d"), refused.stderr
    assert refused.stderr.endswith(b": is a directory\n")


def test_show_draws_control_characters_on_a_terminal():
    from velkor_tools.cli.show import Piece, coloured

    shown = coloured([Piece("a\x1b[2J\tb\n\x9b\x7f\u202e", 1, False)], False).plain
    assert shown == "a\u241b[2J\tb\n\\x9b\u2421\\u202e"


def test_dev_stdout_is_written_through_the_descriptor(work):
    (work / "o").write_text("kept\n")
    with open(work / "o", "ab") as appended:
        assert run("encode", "m.tok", "t.txt", "-o", "/dev/stdout", cwd=work, stdout=appended).returncode == 0
    written = (work / "o").read_bytes()
    assert written.startswith(b"kept\n") and len(written) > 10  # appended, not truncated


@pytest.mark.skipif(not os.access("/dev/shm", os.W_OK), reason="no writable /dev/shm")
def test_a_file_under_dev_shm_is_replaced_not_truncated(work):
    # Any regular file under /dev was written in place: a failed encode emptied it.
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        out = pathlib.Path(folder, "ids")
        out.write_text("kept\n")
        with pytest.raises(ZeroDivisionError), atomic_output(str(out)) as stream:
            stream.write(b"half")
            1 / 0
        refused = run("encode", "m.tok", "-", "--strict-unknown", "-o", out, cwd=work, input=b"\x07")
        assert refused.returncode == 1 and out.read_text() == "kept\n"


def test_outputs_keep_their_mode_and_name_the_right_stream(work):
    (work / "ids").write_text("0\n")
    (work / "out").write_text("old")
    (work / "out").chmod(0o640)
    assert run("decode", "m.tok", "ids", "--lines", "-o", "out", cwd=work).returncode == 0
    assert (work / "out").read_text() == "\n" and (work / "out").stat().st_mode & 0o777 == 0o640
    dash = run("decode", "m.tok", "ids", "--lines", "-o", "-", cwd=work)
    assert dash.stdout == b"\n" and not (work / "-").exists()
    to_stderr = run("decode", "m.tok", "ids", "--lines", "-o", "/proc/self/fd/2", cwd=work)
    assert to_stderr.returncode == 0 and (to_stderr.stdout, to_stderr.stderr) == (b"", b"\n")


def test_without_unnamed_files_nothing_is_left_behind(tmp_path, monkeypatch):
    monkeypatch.delattr(os, "O_TMPFILE", raising=False)  # a file system without them
    with pytest.raises(ZeroDivisionError), atomic_output(str(tmp_path / "out")) as out:
        out.write(b"half")
        1 / 0
    write_atomically(str(tmp_path / "new"), b"x", replace=False)
    with pytest.raises(ToolError, match="already exists"):
        write_atomically(str(tmp_path / "new"), b"y", replace=False)
    assert os.listdir(tmp_path) == ["new"] and (tmp_path / "new").read_bytes() == b"x"
