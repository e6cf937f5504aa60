"""Progress on standard error: a live display on a terminal, plain lines otherwise."""

from __future__ import annotations

import sys
import time
from typing import Any

from rich.console import Console
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
    TransferSpeedColumn,
)


class ByteProgress:
    """Bytes done of a known total, with named counters shown beside them.

    `update(done, **counters)` sets the state; on a terminal it redraws the
    bar, elsewhere it prints one plain line (callers update once per unit of
    work, such as a chunk or a task, so the lines stay few).
    """

    def __init__(self, description: str, total_bytes: int, counters: list[str]) -> None:
        self.counters = counters
        self.total = max(total_bytes, 1)
        self.started = time.monotonic()
        self.console = Console(stderr=True)
        self.live = self.console.is_terminal
        self.progress: Progress | None = None
        if self.live:
            fields = "  ".join(f"{name} {{task.fields[{name}]}}" for name in counters)
            self.progress = Progress(
                TextColumn("[bold]{task.description}"),
                BarColumn(),
                DownloadColumn(),
                TransferSpeedColumn(),
                TextColumn(fields),
                TimeElapsedColumn(),
                TimeRemainingColumn(),
                console=self.console,
            )
            self.progress.start()
            self.task = self.progress.add_task(
                description, total=self.total, **self._zeros(counters)
            )
        self.description = description

    @staticmethod
    def _zeros(counters: list[str]) -> dict[str, Any]:
        return dict.fromkeys(counters, 0)

    def update(self, done_bytes: int, **counters: Any) -> None:
        if self.progress is not None:
            self.progress.update(self.task, completed=done_bytes, **counters)
            return
        elapsed = time.monotonic() - self.started
        rate = done_bytes / elapsed / 1e6 if elapsed > 0 else 0.0
        remaining = elapsed * (self.total - done_bytes) / done_bytes if done_bytes else 0.0
        shown = " ".join(f"{name}={counters.get(name, 0)}" for name in self.counters)
        print(
            f"{self.description}: {done_bytes}/{self.total} bytes "
            f"({100 * done_bytes / self.total:.1f}%) {shown} {rate:.2f} MB/s "
            f"{elapsed:.1f} s, {max(remaining, 0.0):.1f} s left",
            file=sys.stderr,
            flush=True,
        )

    def note(self, **counters: Any) -> None:
        """Updates counters on the live display only (no plain line)."""
        if self.progress is not None:
            self.progress.update(self.task, **counters)

    def close(self) -> None:
        if self.progress is not None:
            self.progress.stop()
            self.progress = None

    def __enter__(self) -> "ByteProgress":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
