"""Calls from several Python threads: shared objects give the same results as
from one thread, borrows hold across threads, and nothing crashes."""

import sys
import threading
import time

import pytest

import velkor
from conftest import MINIMAL_IMAGE

# "a" 1, "b" 2, "c" 3, "é" 4; merges (1, 2) -> 5, (5, 3) -> 6, (6, 6) -> 7.
MODEL = dict(
    lookup={0: b"", 1: b"a", 2: b"b", 3: b"c", 4: "\u00e9".encode(), 5: b"ab", 6: b"abc",
            7: b"abcabc"},
    merges={(1, 2): 5, (5, 3): 6, (6, 6): 7},
    unicode_lookup={"oov": 0, "a": 1, "b": 2, "c": 3, "\u00e9": 4},
)


class Yielding:
    """An id whose conversion gives up the interpreter lock, so another
    thread runs while decode holds its shared borrow."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(workers):
    errors = []

    def guarded(work):
        try:
            work()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    if errors:
        raise errors[0]


def test_shared_objects_across_threads(write_image, tmp_path, monkeypatch, fast_switching):
    monkeypatch.chdir(tmp_path)
    path = write_image(**MODEL)
    shared = velkor.load_from_file(path)
    texts = ["abcabc", "abcabc\u00e9", "abab" * 50 + "x", "\u00e9c" * 30, ""]
    expected = {text: shared.encode(text) for text in texts}
    assert expected["abcabc"] == [7]
    vocab = sorted(shared.vocab())
    (tmp_path / "train.txt").write_text("xy" * 200 + "abc" * 50)
    (tmp_path / "own_model").write_bytes(MINIMAL_IMAGE)
    refused = []

    def reader(seed):
        def work():
            for i in range(150):
                text = texts[(seed + i) % len(texts)]
                ids = shared.encode(text)
                assert ids == expected[text]
                assert shared.decode(ids) == text.replace("x", "")
                assert shared.decode([Yielding(i) for i in ids]) == text.replace("x", "")
                assert sorted(shared.vocab()) == vocab
                if i % 10 == 0:
                    assert sorted(velkor.load_from_file(path).vocab()) == vocab
        return work

    def trainer():
        # Its own object; train holds the interpreter lock throughout.
        own = velkor.load_from_file("own_model")
        for _ in range(5):
            own.train("train.txt", False, "own.log")
            assert own.decode(own.encode("xyxy")) == "xyxy"

    def intruder():
        # train on the shared object, whose readers hold shared borrows now
        # and then: refused while they do, and otherwise a failure (no such
        # file) that changes nothing in the model.
        for _ in range(100):
            try:
                shared.train("missing.txt", False, "intruder.log")
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                refused.append(error)
            except BaseException as error:  # noqa: BLE001
                assert str(error).startswith("Train File Not Existed")
            time.sleep(0)

    run_threads([reader(s) for s in range(4)] + [trainer, intruder])
    assert refused  # the intruder did meet the readers' borrows
    assert sorted(shared.vocab()) == vocab
    assert {text: shared.encode(text) for text in texts} == expected


def test_exclusive_borrow_seen_from_another_thread(write_image, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    data = velkor.load_from_file(write_image(**MODEL))
    (tmp_path / "train.txt").write_text("abc")
    inside, release = threading.Event(), threading.Event()

    # train converts print_logs while holding its exclusive borrow; a type
    # named like NumPy's boolean runs Python code there, which waits here.
    def truth(self):
        inside.set()
        assert release.wait(timeout=30)
        return False

    blocking_bool = type("numpy.bool_", (), {"__bool__": truth})()
    outcome = []
    training = threading.Thread(
        target=lambda: outcome.append(data.train("train.txt", blocking_bool, "train.log"))
    )
    training.start()
    try:
        assert inside.wait(timeout=30)
        for call in (lambda: data.encode("a"), lambda: data.decode([1]), data.vocab):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                call()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            data.train("train.txt", False, "train.log")
    finally:
        release.set()
        training.join(timeout=60)
    assert outcome == [None]
    assert data.encode("abc") == [6]
