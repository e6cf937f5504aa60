"""velkor_tools/unknown.py: the commands say when clusters the model does not know are lost."""

from conftest import tokenizer_image
from velkor_tools.cli import main

# Knows "a" and "b"; every other cluster is unknown.
MODEL = tokenizer_image({0: b"", 1: b"a", 2: b"b"}, {}, {"oov": 0, "a": 1, "b": 2})


def test_show_warns_with_count_and_examples_and_strict_refuses(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.tok").write_bytes(MODEL)
    assert main(["show", "m.tok", "ab👋🏽a\x1bé👋🏽x"]) == 0
    out, err = capsys.readouterr()
    assert out == "a|b|[?👋🏽]|a|[?\x1b]|[?é]|[?👋🏽]|[?x]\n"
    assert err == (
        "velkor: warning: TEXT: 5 clusters the model does not know (encoded as \"oov\", which decodes to nothing): "
        "'👋🏽' (2x), '\\x1b' (1x), 'é' (1x), 'x' (1x)\n"
    )
    assert main(["show", "m.tok", "ax\u0301\u0301"]) == 0  # an unknown cluster of three code points ends the text
    assert capsys.readouterr().out == "a|[?x\u0301\u0301]\n"
    assert main(["show", "m.tok", "abé", "--strict-unknown", "--html", "page.html"]) == 1
    assert capsys.readouterr().err.endswith("'é' (1x) (refused by --strict-unknown)\n")
    assert not (tmp_path / "page.html").exists()


def test_encode_counts_over_documents_and_strict_writes_nothing(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "m.tok").write_bytes(MODEL)
    (tmp_path / "in.txt").write_text("ab\nxé\r\nabx\n")
    assert main(["encode", "m.tok", "--lines", "in.txt", "-o", "out"]) == 0
    assert (tmp_path / "out").read_text() == "1 2\n0 0\n1 2 0\n"
    assert capsys.readouterr().err == (
        "velkor: warning: in.txt: 3 clusters the model does not know "
        "(encoded as \"oov\", which decodes to nothing): 'x' (2x), 'é' (1x)\n"
    )
    for form in ("text", "npy"):
        assert main(["encode", "m.tok", "in.txt", "--strict-unknown", "--format", form, "-o", "strict"]) == 1
        assert "refused by --strict-unknown" in capsys.readouterr().err
    assert not (tmp_path / "strict").exists()
    (tmp_path / "marks.txt").write_text("x" + "\u0301" * 10_000)  # one cluster, shown cut short
    assert main(["encode", "m.tok", "marks.txt", "-o", "out"]) == 0
    assert capsys.readouterr().err.endswith("... (10001 characters) (1x)\n")
    # Documents of more ids than one write takes are written a piece at a time.
    monkeypatch.setattr("velkor_tools.cli.encode._TEXT_CHUNK", 2)
    assert main(["encode", "m.tok", "--lines", "in.txt", "-o", "out"]) == 0
    assert (tmp_path / "out").read_text() == "1 2\n0 0\n1 2 0\n"


def test_one_count_over_many_documents_is_exact():
    from velkor_tools.tokenizer import Tokenizer
    from velkor_tools.unknown import missing_clusters

    counter = Tokenizer.from_bytes(MODEL)
    documents = ["ab\x00", "", "x\r", "\nab", "x"]  # separators must not be counted, nor join a "\r\n"
    assert missing_clusters(counter, documents) == {"\x00": 1, "x": 2, "\r": 1, "\n": 1}


def test_encode_corpus_warning_names_the_inputs_that_hold_unknown_clusters():
    from velkor_tools.cli.encode_corpus import _unknown_source

    inputs = [{"path": name} for name in ("clean.txt", "web.jsonl", "more.jsonl", "also-clean.txt")]
    shards = [{"input": i, "unknown_clusters": n} for i, n in ((0, 0), (1, 4), (1, 0), (2, 1), (3, 0))]
    assert _unknown_source({"inputs": inputs, "shards": shards}) == "web.jsonl and 1 other input"
    assert _unknown_source({"inputs": inputs, "shards": shards[:3]}) == "web.jsonl"
