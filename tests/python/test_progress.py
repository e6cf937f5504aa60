"""velkor_tools/progress.py: the live display stays one line at any terminal width."""

import io

import pytest
from rich.console import Console
from rich.segment import Segment

import velkor_tools.progress as progress


@pytest.mark.parametrize("columns", [60, 80])
def test_live_display_fits_the_terminal(monkeypatch, columns):
    monkeypatch.setenv("COLUMNS", str(columns))
    console = Console(file=io.StringIO(), force_terminal=True)
    monkeypatch.setattr(progress, "Console", lambda stderr: console)
    for name, counters in (("encode-corpus", {"documents": 1234567, "tokens": 98765432}),
                           ("training", {"chunks": 12, "merges": 8400, "merges/s": "2811"})):
        with progress.ByteProgress(name, 123_456_789, list(counters)) as display:
            display.update(55_555_555, **counters)
            assert display.progress is not None
            lines = console.render_lines(display.progress.make_tasks_table(display.progress.tasks), pad=False)
        assert len(lines) == 1 and Segment.get_line_length(lines[0]) <= columns
        shown = "".join(segment.text for segment in lines[0])
        assert "…" not in shown and "45%" in shown and f"{name} " in shown
