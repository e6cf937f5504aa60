"""Every public call, succeeding and failing, repeated: neither resident
memory nor (on a debug interpreter) the total reference count may grow."""

import os
import sys
import tempfile

import pytest

import velkor
from conftest import tokenizer_image

WARMUP_ROUNDS = 300
ROUNDS = 2_000
# Any per-call leak below is at least a few KiB (model entries, a working
# sequence of 600 ids, a 3 MB chunk buffer), so 2,000 rounds would show
# it as megabytes; what the allocator keeps for itself stays well below.
RSS_SLACK = 1_500 * 1024
REFCOUNT_SLACK = 200


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def scratch(tmp_path):
    # Training saves with fsync: on a memory file system that costs nothing.
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
            yield folder
    else:
        yield str(tmp_path)


def test_repeated_calls_do_not_grow_memory(scratch, monkeypatch, PanicException):
    monkeypatch.chdir(scratch)
    # A few hundred entries, so a model leaked per call shows at once; each
    # a letter with a combining mark, one cluster.
    clusters = [chr(0x61 + i % 26) + chr(0x300 + i // 26) for i in range(300)]
    lookup = {0: b"", **{i + 1: c.encode() for i, c in enumerate(clusters)}}
    known = {"oov": 0, **{c: i + 1 for i, c in enumerate(clusters)}}
    with open("good", "wb") as f:
        f.write(tokenizer_image(lookup, {(1, 2): 301}, known))
    with open("no_oov", "wb") as f:
        f.write(tokenizer_image(lookup, {}, {c: i + 1 for i, c in enumerate(clusters)}))
    with open("corrupt", "wb") as f:
        f.write(tokenizer_image(lookup, {}, known)[:-5])
    with open("tiny.txt", "w") as f:
        f.write("ab" * 20 + "xyz")
    os.mkdir("folder")

    text = "".join(clusters) * 2 + "\u4e2d unknown"
    ids = list(range(1, 301)) * 2
    bad_ids = ids + [5000]  # no lookup entry: fails after the whole list is built

    class Index:
        def __index__(self):
            raise ValueError("bad element")

    expected = {
        TypeError, OverflowError, ValueError, UnicodeEncodeError, RuntimeError, PanicException
    }

    def attempt(call, *args, **kwargs):
        try:
            return call(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - the failures are the point
            if type(error) not in expected:
                raise
            return None

    def one_round(i: int) -> None:
        data = velkor.load_from_file("good")
        data.vocab()
        assert data.decode(data.encode(text)) == text[: -len("\u4e2d unknown")]
        attempt(velkor.load_from_file, "missing")
        attempt(velkor.load_from_file, "corrupt")
        attempt(velkor.load_from_file, b"good")
        attempt(velkor.load_from_file, "good", "extra")
        attempt(velkor.load_from_file("no_oov").encode, text)
        attempt(data.encode, 5)
        attempt(data.encode, "\ud800")
        attempt(data.encode, text=text)
        attempt(data.decode, bad_ids)
        attempt(data.decode, "not ids")
        attempt(data.decode, ids + [70_000])
        attempt(data.decode, ids + [Index()])
        attempt(data.decode, ids, tokens=ids)
        attempt(data.train, "missing.txt", False, "train.log")
        attempt(data.train, "folder", False, "train.log")  # fails after the chunk buffer
        attempt(data.train, "tiny.txt", 1, "train.log")
        attempt(data.train)
        if i % 20 == 0:
            data.train("tiny.txt", i % 40 == 0, "train.log")

    def rounds(start: int, count: int) -> None:
        for i in range(start, start + count):
            one_round(i)

    total_refs = getattr(sys, "gettotalrefcount", None)
    rounds(0, WARMUP_ROUNDS)
    rss_before = rss_bytes()
    refs_before = total_refs() if total_refs else 0
    rounds(WARMUP_ROUNDS, ROUNDS)
    growth = rss_bytes() - rss_before
    assert growth <= RSS_SLACK, f"RSS grew by {growth // 1024} KiB over {ROUNDS} rounds"
    if total_refs:
        assert total_refs() - refs_before <= REFCOUNT_SLACK


def test_calls_keep_no_reference_behind(write_image):
    # Counted exactly: a reference or a small object kept per call is far
    # below what resident memory shows.
    path = write_image(tokenizer_image({0: b""}, {}, {"oov": 0}))
    data = velkor.load_from_file(path)
    root = ValueError("root")

    class Index:
        def __index__(self):
            raise TypeError("inner") from root

    def calls():
        for call, argument in ((data.encode, 5), (data.decode, 5), (data.decode, [Index()]),
                               (data.decode, range(65536, 65538))):
            try:
                call(argument)
            except (TypeError, OverflowError):
                pass
        velkor.load_from_file(path).vocab()

    calls()
    refs, type_refs, blocks = sys.getrefcount(root), sys.getrefcount(velkor.Data), sys.getallocatedblocks()
    for _ in range(1000):
        calls()
    assert (sys.getrefcount(root), sys.getrefcount(velkor.Data)) == (refs, type_refs)
    assert sys.getallocatedblocks() - blocks < 500
