"""velkor_tools/plain_errors.py, and the module's failure report naming its source."""

import subprocess
import sys

import pytest

from velkor_tools.cli import main
from velkor_tools.model import STARTER_MODEL
from velkor_tools.plain_errors import plain


@pytest.mark.parametrize("message,words", [
    ("Should work: Io(Kind(UnexpectedEof))", "the file ends early"),
    ("Should work: Io(Custom { kind: UnexpectedEof, error: \"\" })", "the file ends early"),
    ("Should work: InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })", "a cluster text is not valid UTF-8"),
    ('Train File Not Existed: Os { code: 2, kind: NotFound, message: "No such file or directory" }',
     "cannot open the training file: No such file or directory"),
    ("This should not happend", "a token id is not in the model"),
    ("something new", "something new"),
])
def test_module_messages_in_plain_words(message, words):
    assert plain(message) == words


def test_a_truncated_model_in_one_plain_line_and_a_report_relative_to_the_project(tmp_path, capsys):
    (tmp_path / "cut.tok").write_bytes(STARTER_MODEL[:30])
    assert main(["info", str(tmp_path / "cut.tok")]) == 1
    assert capsys.readouterr().err == f"velkor: {tmp_path}/cut.tok: not a valid tokenizer file (the file ends early)\n"
    report = subprocess.run(
        [sys.executable, "-c", f"import velkor; velkor.load_from_file({str(tmp_path / 'cut.tok')!r})"],
        capture_output=True, text=True,
    ).stderr
    assert report.startswith("thread '<unnamed>' failed at src/model/tokenizer_file.cpp:"), report
