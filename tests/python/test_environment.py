"""The `velkor` command under the settings of the environment it runs in."""

import json
import os
import subprocess
import sys

from conftest import tokenizer_image


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
