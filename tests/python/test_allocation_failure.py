"""A failed allocation at any point of a training run leaves a consistent model.

An LD_PRELOAD shim fails the n-th allocation after it is armed; a child
process sweeps n over a training run, checking after every failure that each
id decodes, and that another training, then encode and decode, round-trip.
"""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import not_under_asan

SHIM = r"""
#include <stddef.h>
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
static long countdown, counted;
void shim_fail_at(long n) { countdown = n; counted = 0; }
void shim_disarm(void) { countdown = 0; }
long shim_counted(void) { return counted; }
static int fails(void) {
  ++counted;
  return countdown > 0 && --countdown == 0;
}
void* malloc(size_t n) { return fails() ? NULL : __libc_malloc(n); }
void* calloc(size_t n, size_t m) { return fails() ? NULL : __libc_calloc(n, m); }
void* realloc(void* p, size_t n) { return fails() ? NULL : __libc_realloc(p, n); }
"""

CHILD = textwrap.dedent(
    """
    import ctypes, sys
    import velkor
    shim = ctypes.CDLL(None)
    text = open("train.txt", encoding="utf-8").read()

    def trained(fail_at):
        data = velkor.load_from_file("start")
        shim.shim_fail_at(fail_at)
        try:
            data.train("train.txt", False, "train.log")
            failed = False
        except BaseException:
            failed = True
        finally:
            shim.shim_disarm()
        return data, failed

    trained(0)
    total = shim.shim_counted()
    step = max(1, total // int(sys.argv[1]))
    failures = 0
    for n in range(1, total + 1, step):
        data, failed = trained(n)
        failures += failed
        for token in data.vocab():
            data.decode([token])
        data.train("train.txt", False, "train.log")
        assert data.decode(data.encode(text)) == text, n
        saved = velkor.load_from_file("tokenizer")
        assert sorted(saved.vocab()) == sorted(data.vocab()), n
        assert saved.decode(saved.encode(text)) == text, n
    print(total, failures)
    """
)


@not_under_asan
@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler for the shim")
def test_failed_allocations_leave_a_consistent_model(tmp_path, write_image):
    shim = tmp_path / "shim.so"
    (tmp_path / "shim.c").write_text(SHIM)
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim, tmp_path / "shim.c"], check=True)
    start = write_image(lookup={0: b""}, unicode_lookup={"oov": 0})
    os.replace(start, tmp_path / "start")
    # Words that repeat enough to learn a few dozen merges.
    words = ["tokenizer", "merge", "pair", "héllo", "wörld", "👋🏽"]
    (tmp_path / "train.txt").write_text(" ".join(words[i % 6] * (1 + i % 3) for i in range(400)))
    run = subprocess.run(
        [sys.executable, "-c", CHILD, "300"],
        cwd=tmp_path,
        env={**os.environ, "LD_PRELOAD": str(shim)},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        timeout=240,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    total, failures = map(int, run.stdout.split()[-2:])
    assert failures > 0 and total > 0
