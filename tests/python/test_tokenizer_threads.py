"""One Tokenizer shared by many threads, native batch threads, fork after a
batch, and Ctrl-C during a batch."""

import _thread
import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest

import velkor
from tokenizer_model import TEXTS, train_model
from velkor_tools import Tokenizer


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    path = train_model(tmp_path_factory.mktemp("model"))
    return Tokenizer.from_file(path), velkor.load_from_file(str(path))


def test_threads_hammering_one_tokenizer(trained):
    tok, data = trained
    texts = TEXTS * 3 + [TEXTS[-1] * 40]
    expected = [data.encode(text) for text in texts]
    failures = []

    def hammer(seed):
        deadline = time.monotonic() + 2
        n = seed
        while time.monotonic() < deadline:
            n += 1
            i = n % len(texts)
            checks = {
                0: lambda: tok.encode(texts[i]) == expected[i],
                1: lambda: tok.encode_to_numpy(texts[i]).tolist() == expected[i],
                2: lambda: tok.encode_batch(texts, num_threads=2) == expected,
                3: lambda: tok.decode(expected[i]) == data.decode(expected[i]),
            }
            if not checks[n % 4]():
                failures.append((seed, n))

    threads = [threading.Thread(target=hammer, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def _child_batch(tok, expected, queue):
    queue.put(tok.encode_batch(TEXTS * 50, num_threads=2) == expected)


def test_fork_after_a_batch(trained):
    tok, data = trained
    expected = [data.encode(text) for text in TEXTS * 50]
    assert tok.encode_batch(TEXTS * 50, num_threads=2) == expected
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_child_batch, args=(tok, expected, queue))
    child.start()
    try:
        assert queue.get(timeout=60) is True
    finally:
        child.join(10)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0


@pytest.mark.parametrize("num_threads", [1, 2])
def test_ctrl_c_stops_a_batch(trained, num_threads):
    tok, _ = trained
    texts = [TEXTS[-1] * 50] * 20000  # tens of seconds of work
    timer = threading.Timer(0.2, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        tok.encode_batch_to_numpy(texts, num_threads=num_threads)
    timer.join()
    assert time.monotonic() - start < 1.5


def test_thread_count_setting(trained, monkeypatch):
    tok, data = trained
    monkeypatch.setenv("VELKOR_NUM_THREADS", "3")
    assert tok.decode_batch([data.encode(TEXTS[2])]) == [data.decode(data.encode(TEXTS[2]))]
    for setting in ("many", "0"):
        monkeypatch.setenv("VELKOR_NUM_THREADS", setting)
        with pytest.raises(ValueError, match="VELKOR_NUM_THREADS"):
            tok.encode_batch(TEXTS)
    expected = [data.encode(text) for text in TEXTS]
    for count in (numpy.int64(2), 10**30):
        assert tok.encode_batch(TEXTS, num_threads=count) == expected


def test_texts_replaced_during_a_batch(trained):
    # A signal handler runs while the batch has the lock released; the texts
    # it replaces must neither be read after they are freed nor change ids.
    tok, data = trained
    texts = [TEXTS[-1] * 400 + str(i) for i in range(64)]
    expected = [data.encode(text) for text in texts]
    previous = signal.signal(signal.SIGALRM, lambda *_: texts.__setitem__(slice(None), ["x"] * 64))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        assert tok.encode_batch(texts, num_threads=1) == expected
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert texts == ["x"] * 64


def test_a_blocked_save_lets_threads_run_and_stops_on_ctrl_c(trained, tmp_path):
    tok, _ = trained
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no reader: the save blocks
    beats = []
    beat = threading.Thread(target=lambda: [beats.append(time.sleep(0.01)) for _ in range(20)])
    beat.start()
    main = threading.main_thread().ident
    timer = threading.Timer(0.5, lambda: signal.pthread_kill(main, signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        tok.save(fifo)
    timer.join()
    beat.join()
    assert len(beats) == 20 and sorted(p.name for p in tmp_path.iterdir()) == ["fifo"]


def test_exit_while_daemon_threads_encode(trained, tmp_path):
    # The exiting interpreter ends such threads when they take the lock back; that aborted the process.
    trained[0].save(tmp_path / "m.tok")
    code = f"""
import threading, time
from velkor_tools import Tokenizer
tok = Tokenizer.from_file({str(tmp_path / "m.tok")!r})
texts = ["The river town woke slowly. " * 40] * 20000
def work(i):
    while True:
        tok.encode_batch(texts, num_threads=1 + i % 2)
for i in range(4):
    threading.Thread(target=work, args=(i,), daemon=True).start()
time.sleep(0.5)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")


def test_fork_from_a_signal_handler_during_a_batch(trained, tmp_path):
    # The child has none of the batch's threads: it waited for them for ever.
    trained[0].save(tmp_path / "m.tok")
    code = f"""
import os, signal, sys
from velkor_tools import Tokenizer
tok = Tokenizer.from_file({str(tmp_path / "m.tok")!r})
pids = []
def handler(*_):
    pids.append(os.fork())
    if pids[0] == 0:
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(20)  # ends a hung child
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    tok.encode_batch([{TEXTS[-1] * 50!r}] * 3000, num_threads=2)
except RuntimeError:
    os._exit(3 if pids == [0] else 1)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pids[0], 0)[1]) if pids else 2)
"""
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 3


def test_fork_while_other_threads_encode(trained, tmp_path):
    # A data loader forks its workers while another thread encodes: a child
    # forked while that thread held the pool's lock hung at its first encode.
    trained[0].save(tmp_path / "m.tok")
    code = f"""
import os, threading
from velkor_tools import Tokenizer
tok = Tokenizer.from_file({str(tmp_path / "m.tok")!r})
stop = False
def work():
    while not stop:
        tok.encode("a")
threads = [threading.Thread(target=work) for _ in range(6)]
for thread in threads:
    thread.start()
hung = 0
for _ in range(1000):
    pid = os.fork()
    if pid == 0:
        import signal
        signal.alarm(5)
        tok.encode("river")
        os._exit(0)
    hung += os.waitpid(pid, 0)[1] != 0
stop = True
for thread in threads:
    thread.join()
print(hung)
"""
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True,
                            text=True, timeout=240)
    assert result.stdout.strip() == "0", result.stderr
