"""The `velkor` command under the settings of the environment it runs in."""

import json
import os
import resource
import subprocess
import sys

import pytest

from conftest import tokenizer_image
from velkor_tools.model import STARTER_MODEL


def run(*args, cwd, env=None, input=None):
    return subprocess.run(
        [sys.executable, "-m", "velkor_tools", *map(os.fsencode, args)], input=input, cwd=cwd,
        capture_output=True, timeout=120, env={**os.environ, **(env or {})},
    )


def test_output_in_an_ascii_locale(tmp_path):
    # Standard output's encoding lacks the tokens' characters (PYTHONIOENCODING=ascii, or
    # LC_ALL=C with PYTHONUTF8=0): the output escapes them rather than failing with a
    # traceback, a name that is not UTF-8 still prints as its bytes, and JSON stays JSON.
    model = tmp_path / "mödel.tok"
    model.write_bytes(tokenizer_image(
        {0: b"", 1: "é".encode(), 2: "🙂".encode(), 3: "é🙂".encode()}, {(1, 2): 3}, {"oov": 0, "é": 1, "🙂": 2}
    ))
    odd = os.fsdecode(b"x\xff.txt")
    (tmp_path / odd).write_bytes("é🙂".encode())
    ascii_out = {"PYTHONIOENCODING": "ascii"}
    info = run("info", model.name, cwd=tmp_path, env=ascii_out)
    assert info.returncode == 0 and info.stderr == b"" and b"\\U0001f642" in info.stdout
    info = run("info", model.name, "--json", cwd=tmp_path, env=ascii_out)
    assert info.returncode == 0 and json.loads(info.stdout)["path"] == "mödel.tok"
    stats = run("stats", model.name, odd, cwd=tmp_path, env=ascii_out)
    assert stats.returncode == 0 and stats.stderr == b"" and b"x\xff.txt" in stats.stdout
    trained = run("train", model.name, odd, cwd=tmp_path, env=ascii_out)
    assert trained.returncode == 0 and trained.stdout.startswith(b"m\\xf6del.tok: "), trained.stderr


def test_a_local_cluster_that_cannot_start_is_one_line(tmp_path):
    # Short of open files, Dask's local cluster failed with a traceback ("Nanny failed to
    # start.") or its scheduler looped for ever on failed accepts. The soft limit is raised
    # as far as the hard one allows; beyond that, and in a removed working directory, one line.
    (tmp_path / "m.tok").write_bytes(STARTER_MODEL)
    (tmp_path / "in.txt").write_bytes(b"ab\n" * 1000)
    args = ["encode-corpus", "m.tok", "in.txt", "-o", "ids", "--workers", "4", "--shard-mb", "0.001"]

    def limited(soft, hard):
        return subprocess.run([sys.executable, "-m", "velkor_tools", *args], cwd=tmp_path, capture_output=True,
                              timeout=120, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard)))

    failed = limited(24, 24)
    assert failed.returncode == 1 and failed.stderr == (
        b"velkor: the open-file limit (ulimit -n) of 24 is too low for 4 local workers; raise it\n")
    assert limited(24, 4096).returncode == 0
    gone = tmp_path / "gone"
    command = f"mkdir {gone} && cd {gone} && rmdir {gone} && {sys.executable} -m velkor_tools"
    for args in [f"encode-corpus {tmp_path}/m.tok {tmp_path}/in.txt -o {tmp_path}/ids2 --workers 1",
                 f"encode {tmp_path}/m.tok {tmp_path}/in.txt -o out.txt"]:
        failed = subprocess.run(f"{command} {args}", shell=True, capture_output=True, timeout=120)
        assert failed.returncode == 1 and failed.stderr.count(b"\n") == 1, failed.stderr
        assert failed.stderr.endswith(b"the current directory no longer exists (cd to one that does)\n")


def test_names_that_begin_with_a_dash_after_double_dash(tmp_path):
    # The intermixed parse lost "--": what followed it and began with "-" was taken for an option.
    (tmp_path / "-m.tok").write_bytes(STARTER_MODEL)
    (tmp_path / "-in.txt").write_bytes(b"ab")
    assert run("info", "--json", "--", "-m.tok", cwd=tmp_path).returncode == 0
    encoded = run("encode", "--", "-m.tok", "-in.txt", cwd=tmp_path)
    assert encoded.returncode == 0 and encoded.stdout == b"0 0\n", encoded.stderr  # two unknown clusters
    shown = run("show", "--ids", "--", "-m.tok", "--ids", cwd=tmp_path)  # TEXT "--ids"
    assert shown.returncode == 0 and shown.stdout == b"|".join(b"[?%c][0]" % c for c in b"--ids") + b"\n"
    extra = run("info", "--", "-m.tok", "-x", cwd=tmp_path)
    assert extra.returncode == 2 and extra.stderr.endswith(b"error: unrecognized arguments: -x\n")


def test_train_keeps_a_private_directory_in_use_elsewhere(tmp_path):
    # A run in another PID namespace (a container sharing /tmp) or on another machine (a
    # shared TMPDIR) has a pid that is not alive here: its directory was taken for a killed
    # run's and removed, and that training failed. The directory's lock tells them apart.
    import fcntl

    temp = tmp_path / "temp"
    temp.mkdir()
    finished = subprocess.Popen(["true"])
    finished.wait()
    elsewhere = temp / f"velkor-train-{finished.pid}-abc"
    elsewhere.mkdir()
    (tmp_path / "in.txt").write_bytes(b"ab")
    held = os.open(elsewhere, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert run("train", "m.tok", "in.txt", cwd=tmp_path, env={"TMPDIR": str(temp)}).returncode == 0
        assert os.listdir(temp) == [elsewhere.name]
    finally:
        os.close(held)
    assert run("train", "m.tok", "in.txt", cwd=tmp_path, env={"TMPDIR": str(temp)}).returncode == 0
    assert os.listdir(temp) == []  # a killed run's: removed


def test_train_passes_over_names_no_run_made(tmp_path):
    # Anyone can make these in a shared /tmp; each stopped every training with a traceback.
    temp = tmp_path / "temp"
    names = ["velkor-train-99999999999999999999-x", "velkor-train-\u00b2-y"]
    for name in names:
        (temp / name).mkdir(parents=True)
    (tmp_path / "in.txt").write_bytes(b"ab")
    trained = run("train", "m.tok", "in.txt", cwd=tmp_path, env={"TMPDIR": str(temp)})
    assert trained.returncode == 0, trained.stderr
    assert sorted(os.listdir(temp)) == sorted(names)


def test_a_full_tmpdir_is_named(tmp_path):
    # Training's private files go under TMPDIR: when it is full, the copy of standard input
    # and the child (whose own message could not be written there either) name it.
    full = tmp_path / "full"
    full.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", full]).returncode:
        pytest.skip("needs root to mount a small tmpfs")
    try:
        (full / "fill").write_bytes(b"\0" * (60 << 10))
        text = b"the cat sat on the mat\n" * 15000
        (tmp_path / "in.txt").write_bytes(text)
        for args, input in ((["in.txt"], None), (["-"], text)):
            result = run("train", "m.tok", *args, cwd=tmp_path, env={"TMPDIR": str(full)}, input=input)
            assert result.returncode == 1 and f"under {full} (TMPDIR)".encode() in result.stderr, result.stderr
    finally:
        subprocess.run(["umount", full])


def test_train_in_a_process_whose_standard_streams_are_closed(tmp_path):
    # A daemon's closed descriptors 1 and 2 went to the training's lock socket,
    # and the progress display wrote into it.
    (tmp_path / "in.txt").write_text("the cat sat on the mat\n" * 50)
    script = ("import os, velkor_tools\nos.close(1); os.close(2)\n"
              "tok = velkor_tools.train('m.tok', ['in.txt'], vocab_size=20, progress=True)\n"
              "open('out', 'w').write(str(len(tok)))\n")
    subprocess.run([sys.executable, "-c", script], cwd=tmp_path, timeout=120, check=True)
    assert (tmp_path / "out").read_text() == "20"
