"""Reading the bytes of a tokenizer file, from a regular file or a stream."""

from __future__ import annotations

import contextlib
import os
import stat
import struct
from typing import BinaryIO


# The longest entry the module reads from a stream.
STREAM_ENTRY_CAP = 1 << 32


def read_image(file: BinaryIO) -> bytes:
    """The bytes of the tokenizer file open as `file`. A regular file is read
    whole; anything else (a pipe, a device) no further than its model goes,
    as the module reads it, so that /dev/zero is the empty model rather than
    a read that never ends. A file that ends early gives what it holds."""
    if stat.S_ISREG(os.fstat(file.fileno()).st_mode):
        return file.read()
    image = bytearray()

    def take(size: int) -> bytes:
        if size >= STREAM_ENTRY_CAP:  # the module refuses it unread, and so stops here
            raise EOFError
        start = len(image)
        while len(image) - start < size:
            chunk = file.read(min(size - (len(image) - start), 1 << 20))
            if not chunk:
                raise EOFError
            image.extend(chunk)
        return bytes(image[start:])

    with contextlib.suppress(EOFError):
        (count,) = struct.unpack("<Q", take(8))
        for _ in range(count):
            take(struct.unpack("<HQ", take(10))[1])
        (count,) = struct.unpack("<Q", take(8))
        while count:  # merges, 6 bytes each, a block at a time
            block = min(count, 1 << 16)
            take(6 * block)
            count -= block
        (count,) = struct.unpack("<Q", take(8))
        for _ in range(count):
            take(struct.unpack("<Q", take(8))[0])
            take(2)
    return bytes(image)
