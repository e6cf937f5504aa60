"""Standard streams that the caller closed (`velkor ... >&- 2>&- <&-`).

Python leaves sys.stdin, sys.stdout or sys.stderr as None when its file
descriptor is closed at start, and the next file opened would take that
descriptor: a model or an output file would then receive what was meant for
the stream. Each closed descriptor gets /dev/null instead. Writing to a
closed standard output, or reading a closed standard input, is an error;
with standard error closed the command still runs, and its exit status
tells how it went.
"""

from __future__ import annotations

import os
import sys
from typing import Any

from velkor_tools.errors import ToolError


class ClosedOutput:
    """sys.stdout (and its .buffer) for a closed standard output: any write fails."""

    def __init__(self) -> None:
        self.buffer = self

    def write(self, data: Any) -> int:
        raise ToolError("standard output is closed; give -o FILE or redirect it")

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def fileno(self) -> int:
        return 1


def guard_closed_descriptors() -> None:
    """Puts /dev/null on descriptors 0 to 2 where they are closed, so that no
    file opened later takes one and receives what is written to that stream."""
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != descriptor:
                os.dup2(null, descriptor)
                os.close(null)


def guard_closed_streams() -> None:
    guard_closed_descriptors()
    if sys.stdout is None:
        sys.stdout = ClosedOutput()  # type: ignore[assignment]
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process


def stdin_buffer() -> Any:
    """sys.stdin.buffer; a ToolError when standard input is closed."""
    if sys.stdin is None:
        raise ToolError("<stdin>: standard input is closed; give a FILE")
    return sys.stdin.buffer
