"""`velkor encode-corpus` on a shared two-worker Dask LocalCluster."""

import json
import os
import pickle
import re
import signal
import socket
import subprocess
import sys
from hashlib import sha256
from itertools import accumulate
from pathlib import Path

import numpy as np
import pytest

import velkor
from conftest import MINIMAL_IMAGE
from velkor_tools.corpus import task as corpus_task
from velkor_tools.corpus import open_shards
from velkor_tools.corpus.cluster import local_cluster
from velkor_tools.corpus.run import encode_corpus
from velkor_tools.corpus.task import line_blocks, plan_file, split_lines
from velkor_tools.errors import ToolError
from velkor_tools.tokenizer import Tokenizer

distributed = pytest.importorskip("distributed")

# Lines whose multi-byte characters straddle the planner's byte targets.
TEXT_LINES = [
    "héllo wörld, 日本語のテキスト 👋🏽 and more",
    "",
    "ünïcödé 👨‍👩‍👧 family",
    "a lone\rcarriage return",
    "",
    "Ελληνικά και русский текст",
]
TEXT = "\r\n".join(TEXT_LINES[:3]) + "\r\n" + "\n".join(TEXT_LINES[3:]) + "\n" + "no final newline 🙂"
JSONL_RECORDS = [{"text": "première ligne 日本"}, {"id": 3, "text": ""}, {"text": "tab\tand \\ escape \u00e9"}]
SHARD_BYTES = 23


def test_planned_ranges_read_in_small_blocks_give_every_line(tmp_path):
    raw = TEXT.encode() * 2 + b"\r\n\n\r"
    (tmp_path / "t").write_bytes(raw)
    expected = re.split(rb"\r?\n", raw)  # ends with b"", b"\r": a lone final "\r" stays
    with open(tmp_path / "t", "rb") as file:
        for shard_bytes, block_size in ((len(raw), 1), (5, 2), (9, 7), (40, 1 << 20)):
            ranges = plan_file(str(tmp_path / "t"), len(raw), shard_bytes)
            assert all(raw[end - 1] == ord("\n") for _, end in ranges[:-1])
            blocks = [block for start, end in ranges for block in line_blocks(file, start, end, block_size)]
            assert [line for block in blocks for line in split_lines(block)] == expected
            assert [line for block in blocks for line in split_lines(block.decode())] == [x.decode() for x in expected]


def test_a_task_with_small_blocks_writes_the_whole_shard(job, tmp_path, monkeypatch):
    model, inputs, documents = job
    image = Path(model).read_bytes()
    corpus_task.ModelPlugin(image).setup(None)  # in this process, as on a worker
    monkeypatch.setattr(corpus_task, "BLOCK", 16)
    size = os.path.getsize(inputs[0])
    task = corpus_task.Task(7, 0, inputs[0], 0, size, False, "text", "strict", str(tmp_path), sha256(image).hexdigest())
    record = corpus_task.encode_task(task)
    data = velkor.load_from_file(model)
    encoded = [data.encode(document) for document in documents[: record["documents"]]]
    assert record["documents"] == len(re.split(r"\r?\n", TEXT * 3))
    assert np.fromfile(tmp_path / "shard-00007.bin", "<u2").tolist() == [i for ids in encoded for i in ids]
    assert np.fromfile(tmp_path / "shard-00007.idx", "<u8").tolist() == [0, *accumulate(map(len, encoded))]


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    """A trained model and inputs: (model, inputs, documents each input holds)."""
    root = tmp_path_factory.mktemp("job")
    (root / "base").write_bytes(MINIMAL_IMAGE)
    (root / "train.txt").write_text((TEXT + "\n") * 200, encoding="utf-8")
    cwd = os.getcwd()
    os.chdir(root)  # training saves ./tokenizer
    try:
        velkor.load_from_file("base").train("train.txt", False, "train.log")
    finally:
        os.chdir(cwd)
    (root / "a.txt").write_bytes(TEXT.encode() * 3)
    jsonl = "\n".join(json.dumps(record) for record in JSONL_RECORDS) + "\n\n"
    (root / "b.jsonl").write_text(jsonl * 2, encoding="utf-8")
    text_docs = re.split(r"\r?\n", TEXT * 3)  # a lone "\r" ends no line
    jsonl_docs = ([record["text"] for record in JSONL_RECORDS] + [""]) * 2
    return str(root / "tokenizer"), [str(root / "a.txt"), str(root / "b.jsonl")], text_docs + jsonl_docs


def files(directory):
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir())}


@pytest.fixture(scope="module")
def reference(job, client, tmp_path_factory):
    model, inputs, _ = job
    out = tmp_path_factory.mktemp("reference") / "out"
    encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES)
    return files(out)


def test_documents_equal_direct_encode(job, reference, tmp_path, monkeypatch):
    model, inputs, documents = job
    (tmp_path / "out").mkdir()
    for name, content in reference.items():
        (tmp_path / "out" / name).write_bytes(content)
    monkeypatch.chdir(tmp_path)
    corpus = open_shards("out")  # relative: unpickled below from another directory
    data = velkor.load_from_file(model)
    assert [list(ids) for ids in corpus] == [data.encode(document) for document in documents]
    assert list(corpus[-4]) == data.encode(JSONL_RECORDS[0]["text"])
    everything = [list(ids) for ids in corpus]
    for part in (slice(0, 2), slice(-5, None, 2), slice(3, 1)):  # slices across shards, as a list's
        assert [list(ids) for ids in corpus[part]] == everything[part]
    monkeypatch.chdir(tmp_path / "out")
    corpus.verify()  # still the files it opened
    again = pickle.loads(pickle.dumps(corpus))  # opened again, not copied
    assert len(pickle.dumps(corpus)) < 500 and [list(ids) for ids in again] == everything
    manifest = corpus.manifest
    assert len(manifest["shards"]) > 10  # many tasks, cut inside multi-byte text
    assert (manifest["documents"], manifest["bytes"]) == (len(documents), sum(map(os.path.getsize, inputs)))
    assert manifest["tokens"] == sum(len(data.encode(document)) for document in documents)
    counter = Tokenizer.from_file(model)
    assert manifest["unknown_clusters"] == sum(sum(counter.unknown_clusters(d).values()) for d in documents) > 0


def test_command_with_one_local_worker_writes_the_same_directory(job, reference, tmp_path):
    model, inputs, _ = job
    command = [sys.executable, "-X", "dev", "-W", "error", "-m", "velkor_tools", "encode-corpus", model, *inputs]
    options = ["-o", str(tmp_path / "out"), "--workers", "1", "--shard-mb", str(SHARD_BYTES / 1e6)]
    result = subprocess.run(command + options, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert files(tmp_path / "out") == reference
    assert f"{len(job[2])} documents" in result.stderr.splitlines()[-1]


def test_command_passes_its_options_on(job, tmp_path):
    model, _, _ = job
    bodies = [TEXT_LINES[0], TEXT_LINES[2], "bad \ufffd"]
    (tmp_path / "in.jsonl").write_bytes(b"".join(json.dumps({"body": b}).encode() + b"\n" for b in bodies[:2])
                                        + b'{"body": "bad \xff"}\n')
    command = [sys.executable, "-m", "velkor_tools", "encode-corpus", model, "in.jsonl", "-o", "out", "--workers", "1",
               "--text-field", "body", "--complete", "--errors", "replace"]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    tok = Tokenizer.from_file(model)
    complete = [tok.encode(body, complete=True) for body in bodies]
    assert [list(ids) for ids in open_shards(tmp_path / "out")] == complete != [tok.encode(body) for body in bodies]
    strict = subprocess.run(command + ["--strict-unknown"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert strict.returncode == 1 and "refused by --strict-unknown" in strict.stderr


def test_unguarded_script_is_told_of_the_main_guard(job, tmp_path):
    # Each worker imports the script again and calls encode_corpus there; it
    # had failed on the run's lock with a message about another run.
    model, inputs, _ = job
    script = tmp_path / "script.py"
    script.write_text("import sys\nfrom velkor_tools.corpus.run import encode_corpus\n"
                      "encode_corpus(sys.argv[1], sys.argv[2:], 'out', workers=1)\n")
    result = subprocess.run([sys.executable, str(script), model, *inputs], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120)
    assert result.returncode != 0 and 'if __name__ == "__main__":' in result.stderr
    assert "another encode-corpus run" not in result.stderr


KILLED_RUN = """
import os, signal, sys
from velkor_tools.corpus.run import encode_corpus
model, address, out, shard_bytes, *inputs = sys.argv[1:]
calls = 0
def progress(state):
    global calls
    calls += 1
    if calls == 4:  # the start and three finished shards
        os.kill(os.getpid(), signal.SIGKILL)
encode_corpus(model, inputs, out, scheduler=address, shard_bytes=int(shard_bytes), on_progress=progress)
"""


def test_killed_run_resumes_to_the_same_directory(job, reference, client, tmp_path):
    model, inputs, _ = job
    out = tmp_path / "out"
    killed = subprocess.run(
        [sys.executable, "-c", KILLED_RUN, model, client.scheduler.address, str(out), str(SHARD_BYTES), *inputs],
        capture_output=True,
        timeout=120,
    )
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    assert not (out / "manifest.json").exists()
    journaled = [json.loads(line) for line in (out / ".journal").read_text().splitlines()[1:]]
    assert len(journaled) >= 3
    # A journaled shard that no longer matches its record is redone, not trusted.
    damaged = out / f"shard-{journaled[0]['index']:05d}.bin"
    damaged.write_bytes(b"\xff\xff" + damaged.read_bytes()[2:])
    (out / ".shard-00001.bin.tmp-left").write_bytes(b"partial")
    # Records that are no object, or whose counts do not fit the files, are not trusted either.
    miscounted = journaled[1] | {"documents": journaled[1]["documents"] + 1}
    with open(out / ".journal", "a") as journal:
        journal.write("null\n" + json.dumps(miscounted) + "\n")
    # A journal written before the encoding could be chosen names none: the standard one.
    header, *records = (out / ".journal").read_text().splitlines()
    assert json.loads(header).pop("encoding") == "standard"
    old_header = {key: value for key, value in json.loads(header).items() if key != "encoding"}
    (out / ".journal").write_text("\n".join([json.dumps(old_header), *records]) + "\n")
    reused = []
    encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES,
                  on_progress=lambda state: reused.append(state.done_bytes))
    assert files(out) == reference and reused[0] > 0


def test_running_again_over_a_finished_corpus_redoes_a_missing_shard(job, reference, client, tmp_path):
    model, inputs, _ = job
    out = tmp_path / "out"
    encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES)
    (out / "shard-00001.idx").unlink()  # what `verify` reports; run again to redo it
    damaged = out / "shard-00002.bin"
    damaged.write_bytes(b"\xff\xff" + damaged.read_bytes()[2:])  # found by the same run's hashes
    left = lambda state: (out / ".shard-00003.bin.tmp-left").write_bytes(b"as a killed worker leaves it")
    encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES, on_progress=left)
    assert files(out) == reference

    # A shard of no ids replaced by a FIFO (of the same size, 0) is redone, not read without end.
    (tmp_path / "blank.txt").write_bytes(b"\n\n")
    encode_corpus(model, [str(tmp_path / "blank.txt")], str(tmp_path / "blank"), client=client)
    before = files(tmp_path / "blank")
    (tmp_path / "blank" / "shard-00000.bin").unlink()
    os.mkfifo(tmp_path / "blank" / "shard-00000.bin")

    def stuck(number, frame):
        raise AssertionError("a FIFO was read without end")

    previous = signal.signal(signal.SIGALRM, stuck)
    signal.alarm(30)
    try:
        encode_corpus(model, [str(tmp_path / "blank.txt")], str(tmp_path / "blank"), client=client)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert files(tmp_path / "blank") == before


def test_an_input_changed_during_or_after_a_stopped_run(job, reference, client, tmp_path):
    model, inputs, _ = job
    given = [str(tmp_path / "a.txt"), inputs[1]]
    original = Path(inputs[0]).read_bytes()
    (tmp_path / "a.txt").write_bytes(original)
    out = tmp_path / "out"

    def edit_and_leave_a_temporary(progress):
        (tmp_path / "a.txt").write_bytes(original.replace(b"h", b"H", 1))
        (out / ".shard-00000.bin.tmp-left").write_bytes(b"as a killed worker leaves it")

    with pytest.raises(ToolError, match=r"a\.txt: changed while it was being encoded; run again"):
        encode_corpus(model, given, str(out), client=client, shard_bytes=SHARD_BYTES, on_progress=edit_and_leave_a_temporary)
    # The stopped run resumes with the changed input encoded anew and the other's shards kept.
    (tmp_path / "a.txt").write_bytes(original)
    manifest = encode_corpus(Path(model), [Path(name) for name in given], out, client=client, shard_bytes=SHARD_BYTES)
    assert manifest["shards"] == json.loads(reference["manifest.json"])["shards"]
    assert {name: data for name, data in files(out).items() if name != "manifest.json"} == {
        name: data for name, data in reference.items() if name != "manifest.json"}


def test_strict_stops_at_the_line_and_replace_counts_it(job, client, tmp_path):
    model, _, _ = job
    bad_text, bad_jsonl = tmp_path / "bad.txt", tmp_path / "bad.jsonl"
    bad_text.write_bytes(b"fine\nstill fine\nbad \xff byte\nafter\n")
    bad_jsonl.write_bytes(b'{"text": "ok"}\n["not", "an object"]\n{"text": 7}\n{"text": "\\ud800"}\n')
    out = tmp_path / "out"
    utf8 = re.escape(f"{bad_text}:3: invalid UTF-8 at byte 20 (--errors replace substitutes U+FFFD)")
    array = "an array where a JSON object with a string field 'text' belongs"
    for path, message in ((bad_text, f"^{utf8}$"), (bad_jsonl, f"^{bad_jsonl}:2: {array}$")):
        with pytest.raises(ToolError, match=message):
            encode_corpus(model, [str(path)], str(out / path.suffix), client=client, shard_bytes=8)
        assert not (out / path.suffix / "manifest.json").exists()
    with pytest.raises(ToolError, match="holds an unfinished run made with other input files;"):
        encode_corpus(model, [str(bad_text)], str(out / ".jsonl"), client=client, shard_bytes=8)

    # Resuming the stopped run with --errors replace finishes it.
    manifest = encode_corpus(model, [str(bad_text)], str(out / ".txt"), client=client, shard_bytes=8, errors="replace")
    assert manifest["replaced_lines"] == 1
    data = velkor.load_from_file(model)
    assert list(open_shards(out / ".txt")[2]) == data.encode("bad \ufffd byte")
    with pytest.raises(ToolError, match="holds a finished corpus made with shard bytes 8;"):
        encode_corpus(model, [str(bad_text)], str(out / ".txt"), client=client, shard_bytes=9, errors="replace")
    with pytest.raises(ToolError, match=f"^{utf8}$"):  # strict again over it: its line is still bad
        encode_corpus(model, [str(bad_text)], str(out / ".txt"), client=client, shard_bytes=8)
    # ... and the finished corpus stays as it was, still readable.
    assert sorted(p.name for p in (out / ".txt").iterdir() if not p.name.startswith("shard-")) == ["manifest.json"]
    open_shards(out / ".txt").verify()
    assert list(open_shards(out / ".txt")[2]) == data.encode("bad \ufffd byte")
    manifest = encode_corpus(model, [str(bad_jsonl)], str(out / "j"), client=client, errors="replace")
    assert (manifest["replaced_lines"], manifest["skipped_lines"]) == (1, 2)
    assert (manifest["unknown_clusters"], manifest["unknown_examples"]) == (2, {"k": 1, "\ufffd": 1})
    assert [list(ids) for ids in open_shards(out / "j")] == [data.encode(t) for t in ("ok", "", "", "\ufffd")]


def test_refused_before_any_work(job, tmp_path):
    model, inputs, _ = job
    (tmp_path / "file").write_text("x")
    cases = [
        ([inputs[0], str(tmp_path / "missing.txt")], tmp_path / "out", "missing.txt: No such file"),
        (inputs, tmp_path / "file" / "out", "cannot write there"),
        (inputs, tmp_path, "not empty"),
    ]
    for given, out, message in cases:
        with pytest.raises(ToolError, match=message):
            encode_corpus(model, given, str(out), workers=2)  # a cluster would take seconds
    for error, settings in ((ValueError, {"workers": -1}), (TypeError, {"workers": 1.5}),
                            (TypeError, {"shard_bytes": True}), (TypeError, {"text_field": b"text"})):
        with pytest.raises(error):
            encode_corpus(model, inputs, str(tmp_path / "out"), **settings)
    with pytest.raises(TypeError, match="not one path"):
        encode_corpus(model, inputs[0], str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


def test_one_line_errors_without_dask_and_without_a_scheduler(job, tmp_path):
    model, inputs, _ = job
    arguments = ["encode-corpus", model, *inputs, "-o", str(tmp_path / "out")]
    without_dask = "import sys; sys.modules['dask'] = None; from velkor_tools.cli import main; sys.exit(main(sys.argv[1:]))"
    result = subprocess.run([sys.executable, "-c", without_dask, *arguments], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (1, "velkor: encode-corpus needs Dask: pip install 'dask[distributed]'\n")

    with socket.socket() as probe:  # a port where nothing listens once it is closed
        probe.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
    environment = os.environ | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "0.5s"}
    result = subprocess.run(
        [sys.executable, "-m", "velkor_tools", *arguments, "--scheduler", address],
        capture_output=True,
        text=True,
        env=environment,
        timeout=60,
    )
    assert result.returncode == 1
    assert re.fullmatch(f"velkor: cannot reach the Dask scheduler at {address}: [^\n]*\n", result.stderr)
    assert list((tmp_path / "out").iterdir()) == []  # no journal ties the folder to this job


def test_worker_killed_mid_task(job, client, tmp_path):
    model, _, _ = job
    big = tmp_path / "big.txt"
    big.write_bytes((TEXT + "\n").encode() * 40_000)  # about 4 MB, 8 tasks
    killed = []

    def kill_a_busy_worker(state):
        if state.documents and not killed:
            busy = [address for address, keys in client.processing().items() if keys]
            pids = client.run(os.getpid, workers=busy[:1])
            killed.extend(pids.values())
            os.kill(killed[0], signal.SIGKILL)

    shard_bytes = 500_000
    manifest = encode_corpus(
        model, [str(big)], str(tmp_path / "out"), client=client, shard_bytes=shard_bytes, on_progress=kill_a_busy_worker
    )
    assert killed
    assert manifest == encode_corpus(model, [str(big)], str(tmp_path / "calm"), client=client, shard_bytes=shard_bytes)


def test_an_edited_input_is_encoded_again_and_the_rest_kept(job, client, tmp_path):
    model, inputs, _ = job
    (tmp_path / "a.txt").write_bytes(Path(inputs[0]).read_bytes())
    given = [str(tmp_path / "a.txt"), inputs[1]]
    first = encode_corpus(model, given, str(tmp_path / "out"), client=client, shard_bytes=SHARD_BYTES)
    kept = (tmp_path / "out" / first["shards"][-1]["name"]).with_suffix(".bin").stat().st_mtime_ns
    text = (tmp_path / "a.txt").read_bytes()
    (tmp_path / "a.txt").write_bytes(text.replace(b"h", b"H", 1))  # same size, other text
    second = encode_corpus(model, given, str(tmp_path / "out"), client=client, shard_bytes=SHARD_BYTES)
    assert second["shards"][0]["ids_sha256"] != first["shards"][0]["ids_sha256"]
    assert second["shards"][-1] == first["shards"][-1]  # a shard of the unchanged input
    assert (tmp_path / "out" / first["shards"][-1]["name"]).with_suffix(".bin").stat().st_mtime_ns == kept

    # An input that grows shifts the other's shard numbers: a shard of the
    # other input whose byte range matches is no shard of this one.
    (tmp_path / "a.txt").write_bytes(b"aaaaaaaaa\n")
    (tmp_path / "b.txt").write_bytes(b"bbbbbbbbbbbbbbbbbbb\nccccccccccccccccccc\nddddddddddddddddddd\n")
    given = [str(tmp_path / "a.txt"), str(tmp_path / "b.txt")]
    encode_corpus(model, given, str(tmp_path / "grown"), client=client, shard_bytes=10)
    (tmp_path / "a.txt").write_bytes(b"aaaaaaaaa\nxxxxxxxxx\nyyyyyyyyyyyyyyyyyyy\n")
    encode_corpus(model, given, str(tmp_path / "grown"), client=client, shard_bytes=10)
    encode_corpus(model, given, str(tmp_path / "fresh"), client=client, shard_bytes=10)
    assert files(tmp_path / "grown") == files(tmp_path / "fresh")
    # One that shrinks leaves fewer shards: those past the last are removed too.
    (tmp_path / "a.txt").write_bytes(b"a\n")
    (tmp_path / "b.txt").write_bytes(b"b\n")
    encode_corpus(model, given, str(tmp_path / "grown"), client=client, shard_bytes=10)
    encode_corpus(model, given, str(tmp_path / "shrunk"), client=client, shard_bytes=10)
    assert files(tmp_path / "grown") == files(tmp_path / "shrunk")


def test_the_output_folder_is_guarded(job, client, tmp_path):
    model, inputs, _ = job
    (tmp_path / "user").mkdir()
    (tmp_path / "user" / ".notes.tmp").write_text("mine")
    with pytest.raises(ToolError, match="not empty"):
        encode_corpus(model, inputs, str(tmp_path / "user"), client=client)
    assert (tmp_path / "user" / ".notes.tmp").read_text() == "mine"

    (tmp_path / "elsewhere").write_text("")
    (tmp_path / "probe").mkdir()
    for name in (f".velkor-probe-{i}" for i in range(3)):  # links planted under likely names are harmless
        os.symlink(tmp_path / "elsewhere", tmp_path / "probe" / name)
    out = tmp_path / "out"
    out.mkdir()
    holder = os.open(out, os.O_RDONLY)
    import fcntl
    fcntl.flock(holder, fcntl.LOCK_EX)  # another run holds the folder
    with pytest.raises(ToolError, match=f"{out}: another encode-corpus run"):
        encode_corpus(model, inputs, str(out), client=client)
    os.close(holder)

    finished = encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES)
    damaged = json.loads((out / "manifest.json").read_text())
    damaged["shards"][0]["input"] = [0]
    damaged["inputs"][0]["size"] += 1  # as if edited since: the shards to keep are sorted out
    (out / "manifest.json").write_text(json.dumps(damaged))
    assert encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES) == finished
    for junk, message in (
        (b"[]", "manifest.json: not a manifest"), (b"{garbage", "manifest.json: not a manifest"),
        (b'{"shards": [], "inputs": 5}', "manifest.json: not a manifest"),
    ):
        (out / "manifest.json").write_bytes(junk)
        with pytest.raises(ToolError, match=message):
            encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES)
    (tmp_path / "j").mkdir()
    (tmp_path / "j" / ".journal").write_bytes(b"\xff\xfe")
    with pytest.raises(ToolError, match=r"\.journal: .*remove it"):
        encode_corpus(model, inputs, str(tmp_path / "j"), client=client)


@pytest.mark.parametrize("errors", ["strict", "replace"])
def test_deep_nesting_and_a_byte_order_mark_in_jsonl(job, client, tmp_path, errors):
    model, _, _ = job
    path = tmp_path / "deep.jsonl"
    path.write_bytes(b'\xef\xbb\xbf{"text": "first", "n": ' + b"1" * 5000 + b'}\n' + b"[" * 100_000 + b"\n"
                     + b'{"text": "last"}\n')  # an integer of more digits than int() takes
    if errors == "strict":
        with pytest.raises(ToolError, match=r"deep\.jsonl:2: not valid JSON \(nested too deeply\)"):
            encode_corpus(model, [str(path)], str(tmp_path / "out"), client=client)
        return
    manifest = encode_corpus(model, [str(path)], str(tmp_path / "out"), client=client, errors=errors)
    assert (manifest["documents"], manifest["skipped_lines"]) == (3, 1)
    assert open_shards(tmp_path / "out")[0].tolist() == velkor.load_from_file(model).encode("first")


def test_fifo_inputs_and_endless_shard_sizes_are_refused(job, tmp_path):
    model, inputs, _ = job
    os.mkfifo(tmp_path / "pipe")
    with pytest.raises(ToolError, match="pipe: not a regular file"):
        encode_corpus(model, [str(tmp_path / "pipe")], str(tmp_path / "out"), workers=1)
    with open(inputs[0], "rb") as held, pytest.raises(ToolError, match="names a descriptor"):
        encode_corpus(model, [f"/dev/fd/{held.fileno()}"], str(tmp_path / "out"), workers=1)
    for size in ("inf", "1e400", "nan", "0"):
        result = subprocess.run([sys.executable, "-m", "velkor_tools", "encode-corpus", model, inputs[0], "-o",
                                 str(tmp_path / "o"), "--shard-mb", size], capture_output=True, text=True, timeout=60)
        assert result.returncode == 2 and "expected a positive number" in result.stderr and "Traceback" not in result.stderr


def test_damaged_shards_are_found(job, client, tmp_path):
    model, inputs, _ = job
    out = tmp_path / "out"
    encode_corpus(model, inputs, str(out), client=client, shard_bytes=SHARD_BYTES)
    verify = [sys.executable, "-m", "velkor_tools", "verify", str(out)]
    result = subprocess.run(verify, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and re.fullmatch(re.escape(str(out)) + r": \d+ shards match the manifest, \d+ documents\n", result.stdout)
    ids = out / "shard-00001.bin"
    ids.write_bytes(bytes([ids.read_bytes()[0] ^ 1]) + ids.read_bytes()[1:])
    result = subprocess.run(verify, capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "shard-00001.bin: does not match the sha256" in result.stderr
    ids.write_bytes(ids.read_bytes()[:-2])  # cut short: its last document would lose an id
    with pytest.raises(ToolError, match="shard-00001.bin: size does not match"):
        open_shards(out)
    offsets = np.fromfile(out / "shard-00000.idx", "<u8")
    offsets[1] = offsets[-1] + 1  # a document past the end
    offsets.tofile(out / "shard-00000.idx")
    with pytest.raises(ToolError, match="shard-00000.idx: the offsets do not fit"):
        open_shards(out)
    manifest = json.loads((out / "manifest.json").read_text())
    short = json.dumps(manifest | {"shards": manifest["shards"][:1]})  # totals no longer add up
    for damaged in ("{oops", "[1, 2]", '{"shards": [{"tokens": 3}]}', short):
        (out / "manifest.json").write_text(damaged)
        result = subprocess.run(verify, capture_output=True, text=True, timeout=60)
        assert result.returncode == 1 and result.stderr == f"velkor: {out}/manifest.json: not a manifest of encode-corpus; the corpus is damaged\n"
    (out / "manifest.json").unlink()
    os.mkfifo(out / "manifest.json")  # would be waited on
    result = subprocess.run(verify, capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "manifest.json: not a regular file" in result.stderr


@pytest.mark.parametrize("ending", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_and_sigterm_are_one_line_and_leave_no_partial_shard(job, tmp_path, ending):
    model, _, _ = job
    (tmp_path / "big.txt").write_text((TEXT + "\n") * 200_000)
    command = [sys.executable, "-m", "velkor_tools", "encode-corpus", model, "big.txt", "-o", "out", "--workers", "1"]
    with subprocess.Popen(command, cwd=tmp_path, stderr=subprocess.PIPE, start_new_session=True) as child:
        child.stderr.readline()  # the first progress line: the workers are there
        # Ctrl-C reaches the whole group; SIGTERM the command alone, as timeout(1) sends it.
        (os.killpg if ending == signal.SIGINT else os.kill)(child.pid, ending)
        rest = child.stderr.read().decode()
    assert child.returncode == 128 + ending and rest == "velkor: interrupted; run the same command again to resume\n"
    assert not [name for name in os.listdir(tmp_path / "out") if ".tmp-" in name]


def test_complete_encoding_is_recorded_and_kept_on_resume(job, client, tmp_path):
    model, inputs, documents = job
    manifest = encode_corpus(model, inputs, str(tmp_path / "out"), client=client, shard_bytes=SHARD_BYTES, complete=True)
    tok = Tokenizer.from_file(model)
    assert manifest["encoding"] == "complete"
    assert [list(ids) for ids in open_shards(tmp_path / "out")] == [tok.encode(d, complete=True) for d in documents]
    with pytest.raises(ToolError, match="made with the complete encoding;"):
        encode_corpus(model, inputs, str(tmp_path / "out"), client=client, shard_bytes=SHARD_BYTES)
    with pytest.raises(ToolError, match="made with text field 'text';"):
        encode_corpus(model, inputs, str(tmp_path / "out"), client=client, shard_bytes=SHARD_BYTES, complete=True,
                      text_field="body")
