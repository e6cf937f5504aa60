"""Shared helpers: tokenizer images built from Python values, and loaders."""

import os
import struct
import subprocess
import sys
from collections.abc import Iterable, Mapping

import pytest

import velkor


# Under AddressSanitizer (preloaded by `make sanitize`) an address-space
# limit or an allocator shim of a test would meet ASan's own mappings and
# interceptors instead of the module's allocations.
not_under_asan = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer owns the allocator"
)


def _entries(items):
    # A mapping, or (key, value) pairs so a test can repeat a key.
    return list(items.items()) if isinstance(items, Mapping) else list(items)


def tokenizer_image(
    lookup: Mapping[int, bytes] | Iterable[tuple[int, bytes]] = (),
    merges: Mapping[tuple[int, int], int] | Iterable[tuple[tuple[int, int], int]] = (),
    unicode_lookup: Mapping[str | bytes, int] | Iterable[tuple[str | bytes, int]] = (),
) -> bytes:
    """The binary tokenizer file of the three maps, entries in the given order.

    Texts of unicode_lookup may be bytes, to write ones that are not UTF-8.
    """
    out = bytearray()
    entries = _entries(lookup)
    out += struct.pack("<Q", len(entries))
    for token_id, raw in entries:
        out += struct.pack("<HQ", token_id, len(raw)) + raw
    entries = _entries(merges)
    out += struct.pack("<Q", len(entries))
    for (left, right), merged in entries:
        out += struct.pack("<HHH", left, right, merged)
    entries = _entries(unicode_lookup)
    out += struct.pack("<Q", len(entries))
    for text, token_id in entries:
        raw = text.encode() if isinstance(text, str) else text
        out += struct.pack("<Q", len(raw)) + raw + struct.pack("<H", token_id)
    return bytes(out)


# Only the two reserved entries: {0: b""}, no merges, {"oov": 0}.
MINIMAL_IMAGE = bytes.fromhex(
    "0100000000000000" + "00" * 18 + "0100000000000000" + "0300000000000000" + "6f6f76" + "0000"
)

# {0: b"", 1: b"a", 2: b"aa"}, {(1, 1): 2}, {"oov": 0, "a": 1}.
EXAMPLE_IMAGE = bytes.fromhex(
    "0300000000000000"
    "0000" "0000000000000000"
    "0100" "0100000000000000" "61"
    "0200" "0200000000000000" "6161"
    "0100000000000000"
    "0100" "0100" "0200"
    "0200000000000000"
    "0300000000000000" "6f6f76" "0000"
    "0100000000000000" "61" "0100"
)


def panic_type() -> type[BaseException]:
    """The module's PanicException type, obtained from a failing call."""
    try:
        velkor.load_from_file("\0")
    except BaseException as error:  # noqa: BLE001 - that is the point
        return type(error)
    raise AssertionError("load_from_file of a NUL path succeeded")


@pytest.fixture
def write_image(tmp_path):
    """Writes bytes (or the maps, as for tokenizer_image) to a new file; returns its path."""
    count = 0

    def write(image: bytes | None = None, **maps) -> str:
        nonlocal count
        count += 1
        path = tmp_path / f"tokenizer-{count}.bin"
        path.write_bytes(tokenizer_image(**maps) if image is None else image)
        return str(path)

    return write


@pytest.fixture
def load(write_image):
    """Loads a Data object from an image (bytes or maps)."""

    def load_image(image: bytes | None = None, **maps) -> velkor.Data:
        return velkor.load_from_file(write_image(image, **maps))

    return load_image


@pytest.fixture
def data(load) -> velkor.Data:
    return load(EXAMPLE_IMAGE)


@pytest.fixture
def PanicException() -> type[BaseException]:
    return panic_type()


@pytest.fixture
def reaches_body(PanicException):
    """Calls fn and returns its result, or None when the method body (not the
    argument handling) failed with PanicException."""

    def call(fn, *args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except PanicException:
            return None

    return call


def run_python(script: str, cwd, model: bytes = MINIMAL_IMAGE, timeout: float = 60, args=(),
               **kwargs):
    """Runs script in a child interpreter in cwd, beside a tokenizer file
    "model"; a child, so its signals, limits and exits cannot reach pytest."""
    (cwd / "model").write_bytes(model)
    return subprocess.run(
        [sys.executable, "-c", script, *args], cwd=cwd, capture_output=True, text=True,
        timeout=timeout, **kwargs,
    )
