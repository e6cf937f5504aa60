"""Training killed at any moment, or stopped by a full disk, never leaves a
damaged "tokenizer": the file is absent, or it is the model as saved after
some completed chunk."""

import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import velkor
from conftest import MINIMAL_IMAGE, not_under_asan, run_python, tokenizer_image

CHUNK = 3_067_833


def parse_image(image: bytes):
    """The three maps of a tokenizer file as sorted tuples, so two saves of
    one model compare equal whatever their entry order."""
    pos = 0

    def take(fmt):
        nonlocal pos
        values = struct.unpack_from(fmt, image, pos)
        pos += struct.calcsize(fmt)
        return values

    def raw(length):
        nonlocal pos
        pos += length
        assert pos <= len(image)
        return image[pos - length : pos]

    (count,) = take("<Q")
    lookup = sorted((take("<H")[0], raw(take("<Q")[0])) for _ in range(count))
    (count,) = take("<Q")
    merges = sorted(take("<HHH") for _ in range(count))
    (count,) = take("<Q")
    unicode_lookup = sorted((raw(take("<Q")[0]), take("<H")[0]) for _ in range(count))
    return tuple(lookup), tuple(merges), tuple(unicode_lookup)


def cluster_text(chunks: float, seed: int) -> str:
    """Long clusters (a CJK letter and 30 combining marks, 63 bytes), so a
    chunk holds few of them; every chunk brings 400 letters of its own, and
    one repeated pair per chunk gets merged. Merging stops after a few
    iterations, so each chunk trains in milliseconds."""
    rng = random.Random(seed)
    marks = "".join(chr(0x300 + i) for i in range(30))
    out, size, chunk = [], 0, 0
    while size < chunks * CHUNK:
        chunk = size // CHUNK
        if rng.random() < 0.02:
            cluster = "\u3042\u3044"  # two clusters, the pair that gets merged
        else:
            cluster = chr(0x4E00 + 400 * chunk + rng.randrange(400)) + marks
        out.append(cluster)
        size += len(cluster.encode())
    return "".join(out)


TRAIN = textwrap.dedent(
    """
    import velkor
    velkor.load_from_file("model").train("train.txt", False, "train.log")
    """
)


@pytest.fixture(scope="module")
def training(tmp_path_factory):
    """A training file of three chunks and a half, and the saved model after
    each of its chunks, from uninterrupted runs on its prefixes."""
    folder = tmp_path_factory.mktemp("crash")
    data = cluster_text(3.5, seed=11).encode()
    (folder / "train.txt").write_bytes(data)
    snapshots = []
    for k in range(1, 5):
        run = folder / f"prefix{k}"
        run.mkdir()
        (run / "model").write_bytes(MINIMAL_IMAGE)
        (run / "train.txt").write_bytes(data[: k * CHUNK])
        subprocess.run([sys.executable, "-c", TRAIN], cwd=run, check=True, capture_output=True)
        snapshots.append(parse_image((run / "tokenizer").read_bytes()))
    assert len(set(snapshots)) == 4
    assert all(s[1] for s in snapshots)  # merges learned in every chunk
    return folder, snapshots


def test_sigkill_at_random_moments(training):
    folder, snapshots = training
    rng = random.Random()

    def start(run):
        run.mkdir()
        (run / "model").write_bytes(MINIMAL_IMAGE)
        (run / "train.txt").symlink_to(folder / "train.txt")
        return subprocess.Popen(
            [sys.executable, "-c", TRAIN], cwd=run, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )

    began = time.monotonic()
    full = start(folder / "full")
    assert full.wait(timeout=120) == 0
    duration = time.monotonic() - began
    assert parse_image((folder / "full" / "tokenizer").read_bytes()) == snapshots[-1]

    kills, seen = 24, []
    # Stratified over the whole run, so early, middle and late moments (saves
    # included) are all hit; on a box too busy for that spread, a few more.
    while len(seen) < kills or (len(set(seen)) < 3 and len(seen) < 2 * kills):
        run = folder / f"kill{len(seen)}"
        process = start(run)
        time.sleep(duration * (len(seen) % kills + rng.random()) / kills)
        process.send_signal(signal.SIGKILL)
        process.wait(timeout=60)
        # The image is written to an unnamed file that gets a name only when
        # complete and synced, just before the rename over "tokenizer": a kill
        # in that instant may leave the complete image under its hidden name,
        # never a partial one.
        for leftover in run.glob(".tokenizer*"):
            assert parse_image(leftover.read_bytes()) in snapshots, sorted(os.listdir(run))
        saved = run / "tokenizer"
        if not saved.exists():
            seen.append(0)
            continue
        model = parse_image(saved.read_bytes())
        assert model in snapshots, f"kill {len(seen)}: tokenizer is no completed chunk's model"
        seen.append(snapshots.index(model) + 1)
        loaded = velkor.load_from_file(str(saved))
        assert sorted(loaded.vocab()) == [entry[0] for entry in model[0]]
    # The kills landed before the first save and between chunks too.
    assert len(set(seen)) >= 3, seen


FULL_DISK = textwrap.dedent(
    """
    import json, os, resource, signal, velkor
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    data = velkor.load_from_file("model")
    resource.setrlimit(resource.RLIMIT_FSIZE, (2000, resource.RLIM_INFINITY))
    try:
        data.train("train.txt", False, "train.log")
        failure = None
    except BaseException as error:
        failure = [type(error).__name__, str(error)]
    after_failure = [open("tokenizer", "rb").read().hex(), sorted(os.listdir("."))]
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
    data.train("train.txt", False, "train.log")
    print("@" + json.dumps([failure, after_failure, len(data.vocab())]))
    """
)


@pytest.mark.parametrize("link", [None, "symlink", "hardlink"])
def test_full_disk_keeps_the_previous_tokenizer(tmp_path, link):
    # Writes past RLIMIT_FSIZE fail with EFBIG, as they would with ENOSPC on
    # a full disk: the save of a model larger than the limit fails cleanly,
    # also through a symbolic link or beside a second hard link (the backup).
    previous = MINIMAL_IMAGE + b"previous save"
    (tmp_path / "tokenizer").write_bytes(previous)
    if link == "symlink":
        (tmp_path / "tokenizer").rename(tmp_path / "real")
        (tmp_path / "tokenizer").symlink_to("real")
    elif link == "hardlink":
        os.link(tmp_path / "tokenizer", tmp_path / "backup")
    (tmp_path / "model").write_bytes(MINIMAL_IMAGE)
    (tmp_path / "train.txt").write_text("".join(chr(0x4E00 + i) for i in range(300)) * 2)
    result = subprocess.run(
        [sys.executable, "-c", FULL_DISK], cwd=tmp_path, capture_output=True, text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    report = [line for line in result.stdout.splitlines() if line.startswith("@")]
    (name, message), (saved_hex, files), vocab_size = json.loads(report[0][1:])
    assert name == "PanicException"
    assert message.startswith("Should work: Os { code: 27, kind: FileTooLarge"), message
    assert message in result.stderr
    assert result.stdout.count("Saved Successfully") == 1  # only the save that went through
    # The earlier file is untouched and no temporary file is left behind.
    assert bytes.fromhex(saved_hex) == previous
    extra = {"symlink": ["real"], "hardlink": ["backup"]}.get(link, [])
    assert files == sorted(["model", "tokenizer", "train.log", "train.txt", *extra])
    # The object stays usable: without the limit the next save goes through,
    # the link stays a link, and the backup keeps the previous model.
    assert vocab_size == 301
    assert sorted(os.listdir(tmp_path)) == files
    assert len(parse_image((tmp_path / "tokenizer").read_bytes())[2]) == 301
    assert (tmp_path / "tokenizer").is_symlink() == (link == "symlink")
    if link == "hardlink":
        assert (tmp_path / "backup").read_bytes() == previous


def test_sticky_folder_save_falls_back_to_writing_in_place(tmp_path):
    # In a sticky folder, a "tokenizer" of another user cannot be renamed
    # over, but it can be written. Root loses the capability that overrides
    # the sticky bit, and the folder and the file belong to nobody (65534).
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv")
    folder = tmp_path / "sticky"
    folder.mkdir()
    (folder / "tokenizer").write_bytes(b"previous save")
    (folder / "train.txt").write_text("abab")
    (folder / "model").write_bytes(MINIMAL_IMAGE)
    for path, mode in ((folder / "tokenizer", 0o666), (folder, 0o1777)):
        os.chown(path, 65534, 65534)
        os.chmod(path, mode)
    result = subprocess.run(
        ["setpriv", "--bounding-set", "-fowner", "--inh-caps", "-fowner", sys.executable, "-c",
         TRAIN],
        cwd=folder, capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert sorted(velkor.load_from_file(str(folder / "tokenizer")).vocab()) == [0, 1, 2]
    assert os.stat(folder / "tokenizer").st_uid == 65534


NO_SPACE = textwrap.dedent(
    """
    import json, os, velkor
    open("model", "wb").write(bytes.fromhex(os.environ["MODEL"]))
    open("tokenizer", "wb").write(b"previous save")
    open("train.txt", "w").write("".join(chr(0x4E00 + i) for i in range(300)) * 2)
    # Fill the file system, then free one page: too little for the save.
    with open("filler", "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"x" * 4096)
        except OSError:
            pass
    os.truncate("filler", max(os.path.getsize("filler") - 4096, 0))
    data = velkor.load_from_file("model")
    try:
        data.train("train.txt", False, "train.log")
        failure = None
    except BaseException as error:
        failure = str(error)
    kept = open("tokenizer", "rb").read() == b"previous save"
    files = sorted(os.listdir("."))
    os.remove("filler")
    data.train("train.txt", False, "train.log")
    print("@" + json.dumps([failure, kept, files, len(velkor.load_from_file("tokenizer").vocab())]))
    """
)


def test_no_space_left_keeps_the_previous_tokenizer(tmp_path):
    # A 64 KiB tmpfs in a mount namespace of its own, where that is allowed.
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mount = 'mount -t tmpfs -o size=64k none "$1"'

    def in_namespace(*command):
        return subprocess.run(
            ["unshare", "--mount", "sh", "-c", mount + ' && cd "$1" && shift && exec "$@"', "sh",
             str(mount_point), *command],
            capture_output=True, text=True, timeout=60,
            env={**os.environ, "MODEL": MINIMAL_IMAGE.hex()},
        )

    try:
        probe = in_namespace("true")
    except FileNotFoundError:
        pytest.skip("no unshare")
    if probe.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {probe.stderr.strip()[-200:]}")
    result = in_namespace(sys.executable, "-c", NO_SPACE)
    assert result.returncode == 0, result.stderr
    report = [line for line in result.stdout.splitlines() if line.startswith("@")]
    failure, kept, files, vocab_size = json.loads(report[0][1:])
    assert failure.startswith("Should work: Os { code: 28, kind: StorageFull"), failure
    assert kept
    assert files == ["filler", "model", "tokenizer", "train.log", "train.txt"]
    assert vocab_size == 301


LIMITED_LOAD = textwrap.dedent(
    """
    import resource, sys, velkor
    size = next(int(line.split()[1]) for line in open("/proc/self/status")
                if line.startswith("VmSize:"))
    limit = size * 1024 + int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    try:
        print(len(velkor.load_from_file("model").vocab()))
    except BaseException as error:
        print(type(error).__name__)
    """
)


@not_under_asan
def test_memory_limits_raise_and_never_abort(tmp_path):
    # A 2 MB model loaded under address-space limits from nothing to enough:
    # every run raises (MemoryError, or PanicException where the interpreter
    # itself fails an allocation) or loads the model, never aborts; the
    # module's own allocations that fail give MemoryError.
    # The module has no thread-local storage of its own, and the exception
    # machinery's per-thread state exists from the import on: both would
    # otherwise be allocated when the first exception is thrown, which is
    # when memory has just run out.
    module = Path(velkor.__file__).read_bytes()
    (phoff,), (phentsize, phnum) = struct.unpack_from("<Q", module, 0x20), struct.unpack_from(
        "<HH", module, 0x36)
    types = [struct.unpack_from("<I", module, phoff + i * phentsize)[0] for i in range(phnum)]
    assert 7 not in types  # PT_TLS
    model = tokenizer_image(lookup=[(i, b"%020d" % i) for i in range(65536)])
    outcomes = set()
    for limit in range(0, 16 << 20, 1 << 20):
        result = run_python(LIMITED_LOAD, tmp_path, model=model, args=[str(limit)])
        assert result.returncode == 0, (limit, result.stderr[-300:])
        outcomes.add(result.stdout.strip())
    assert outcomes <= {"MemoryError", "PanicException", "65536"}
    assert "65536" in outcomes and "MemoryError" in outcomes
