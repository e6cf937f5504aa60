"""Progress on standard error: a live display on a terminal, plain lines otherwise."""

from __future__ import annotations

import sys
import time
from typing import Any

from rich.console import Console
from rich.table import Column
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    ProgressColumn,
    TaskProgressColumn,
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
            self.progress = Progress(*self._columns(description, counters), console=self.console)
            self.progress.start()
            self.task = self.progress.add_task(
                description, total=self.total, **self._zeros(counters)
            )
        self.description = description

    def _columns(self, description: str, counters: list[str]) -> list[ProgressColumn]:
        """Columns that fit the terminal's width on one line: the bar, bytes,
        speed and elapsed time give way on narrow terminals, and every cell
        is cut short rather than wrapped (a wrapped line garbles the redraw)."""
        width = self.console.width
        one_line = lambda: Column(no_wrap=True, overflow="ellipsis")  # noqa: E731
        fields = " ".join(f"{{task.fields[{name}]}} {name}" for name in counters)
        columns: list[ProgressColumn] = [TextColumn("[bold]{task.description}", table_column=one_line())]
        if width >= 70:
            bar = max(5, min(30, width - len(description) - 52))
            columns.append(BarColumn(bar_width=bar, table_column=one_line()))
        if width >= 110:
            columns += [DownloadColumn(table_column=one_line()), TransferSpeedColumn(table_column=one_line())]
        else:
            columns.append(TaskProgressColumn(table_column=one_line()))
        columns.append(TextColumn(fields, table_column=one_line()))
        if width >= 110:
            columns.append(TimeElapsedColumn(table_column=one_line()))
        columns.append(TimeRemainingColumn(table_column=one_line()))
        return columns

    @staticmethod
    def _zeros(counters: list[str]) -> dict[str, Any]:
        return dict.fromkeys(counters, 0)

    @staticmethod
    def _short(counters: dict[str, Any]) -> dict[str, Any]:
        """Large counts as 12.3k or 4.5M, so the live line stays short."""
        def short(value: Any) -> Any:
            if not isinstance(value, int) or value < 10_000:
                return value
            return f"{value / 1e3:.1f}k" if value < 1_000_000 else f"{value / 1e6:.1f}M"
        return {name: short(value) for name, value in counters.items()}

    def update(self, done_bytes: int, **counters: Any) -> None:
        if self.progress is not None:
            self.progress.update(self.task, completed=done_bytes, **self._short(counters))
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
            self.progress.update(self.task, **self._short(counters))

    def close(self) -> None:
        if self.progress is not None:
            self.progress.stop()
            self.progress = None

    def __enter__(self) -> "ByteProgress":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
