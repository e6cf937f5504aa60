"""The command line of velkor_tools/cli/app.py: every example in every help
runs as written, options go anywhere, and the entry points a person tries first."""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from velkor_tools.cli.app import build_parser

BIN = Path(sys.executable).parent  # where the installed `velkor` script is
ONE_AS_MANY = re.compile(r"(?<![\w.=/])1 (unknown )?(shard|document|token|line|byte|merge|chunk|cluster)s\b")
TEXT = "The river town woke slowly. Fishermen carried their nets down to the water.\n" * 40


def help_examples() -> list[str]:
    parser = build_parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    found = []
    for help_text in [parser.format_help(), *(p.format_help() for p in commands.choices.values())]:
        lines = help_text.splitlines()
        for number, line in enumerate(lines):
            if line.startswith(("example:", "examples:")):
                rest = line.partition(":")[2].strip()
                found += [rest] if rest else []
                found += [x.strip() for x in lines[number + 1 :] if x.startswith("  ")]
    return found


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """What the examples name: a trained model and text, JSONL and id files."""
    root = tmp_path_factory.mktemp("files")
    for name in ("story.txt", "corpus.txt", "books.txt", "news.txt"):
        (root / name).write_text(TEXT)
    (root / "web.jsonl").write_text('{"body": "The river town."}\n' * 3)
    run = lambda line: subprocess.run(line, shell=True, cwd=root, check=True, env=_env(), capture_output=True)
    run("velkor new model.tok && velkor train model.tok corpus.txt")
    run("velkor encode model.tok --lines corpus.txt -o corpus.ids")
    run("velkor encode model.tok story.txt --format npy -o story.npy")
    run("velkor encode-corpus model.tok corpus.txt -o corpus-ids --workers 1")
    return root


def _env():
    return {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ['PATH']}"}


@pytest.mark.parametrize("example", help_examples())
def test_every_help_example_runs_as_written(example, files, tmp_path):
    if "--scheduler" in example:  # needs a cluster: parsing it is all we check
        for command in example.split("|"):
            build_parser().parse_args(shlex.split(command)[1:])
        return
    for name in os.listdir(files):
        if f"velkor new {name}" in example or f"-o {name}" in example:
            continue  # what the example makes
        if (files / name).is_dir():
            shutil.copytree(files / name, tmp_path / name)
        else:
            os.link(files / name, tmp_path / name)
    result = subprocess.run(["bash", "-o", "pipefail", "-c", example], cwd=tmp_path, env=_env(), capture_output=True)
    assert result.returncode == 0, result.stderr.decode()
    said = result.stderr.decode() + (result.stdout.decode(errors="replace") if ">" not in example else "")
    assert not ONE_AS_MANY.search(said), said


def test_entry_points_and_usage_errors():
    velkor = lambda *args: subprocess.run([sys.executable, "-m", "velkor_tools", *args], capture_output=True, text=True)
    alone = velkor()
    assert alone.returncode == 0 and "encode-corpus" in alone.stdout
    assert velkor("--version").stdout.startswith("velkor ")
    # Options before, between and after the positional arguments.
    for args in (["--lines", "-o", "a", "m", "x"], ["m", "--lines", "x", "-o", "a"], ["m", "x", "-o", "a", "--lines"]):
        parsed = build_parser().parse_args(["encode", *args])
        assert (parsed.model, parsed.files, parsed.lines, parsed.output) == ("m", ["x"], True, "a")
    wrong = velkor("encode", "m", "--bogus", "x")
    assert wrong.returncode == 2
    assert wrong.stderr.startswith("usage: velkor encode ") and "unrecognized arguments: --bogus" in wrong.stderr
    for command in ("encode", "decode"):  # FILE is optional (standard input)
        assert velkor(command).stderr.endswith("the following arguments are required: MODEL\n")
