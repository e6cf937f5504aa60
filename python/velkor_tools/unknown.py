"""Clusters a model does not know.

Such a cluster encodes to the id of "oov", which decodes to nothing, so the
text it held is lost. The commands that encode count them, warn with the
count and the first few of them, and refuse with --strict-unknown.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING

from velkor_tools.cli.common import plural
from velkor_tools.errors import ToolError

if TYPE_CHECKING:
    from velkor_tools.tokenizer import Tokenizer

EXAMPLES = 5  # distinct clusters named in the message
SEPARATOR = "\x00"  # a control character: always a cluster of its own


def missing_clusters(tokenizer: Tokenizer, texts: list[str]) -> dict[str, int]:
    """The clusters of the texts that the model lacks, with their counts,
    from one call over the texts joined by SEPARATOR (less the separators)."""
    found: dict[str, int] = tokenizer.unknown_clusters(SEPARATOR.join(texts))
    if SEPARATOR in found:
        found[SEPARATOR] -= len(texts) - 1
        if not found[SEPARATOR]:
            del found[SEPARATOR]
    return found


class UnknownClusters:
    """The count of unknown clusters over many texts, and the first few of them."""

    def __init__(self) -> None:
        self.total = 0
        self.examples: dict[str, int] = {}  # in the order first met

    def add(self, found: Mapping[str, int]) -> None:
        """Adds a text's unknown clusters with their counts."""
        for cluster, count in found.items():
            self.total += count
            if cluster in self.examples or len(self.examples) < EXAMPLES:
                self.examples[cluster] = self.examples.get(cluster, 0) + count

    def message(self, source: str) -> str:
        shown = ", ".join(f"{shortened(cluster)} ({count}x)" for cluster, count in self.examples.items())
        more = ", ..." if self.total > sum(self.examples.values()) else ""
        return (
            f"{source}: {plural(self.total, 'cluster')} the model does not know "
            f'(encoded as "oov", which decodes to nothing): {shown}{more}'
        )

    def report(self, source: str, strict: bool) -> None:
        """A warning on standard error, or with strict a ToolError; nothing when none were met."""
        if not self.total:
            return
        if strict:
            raise ToolError(f"{self.message(source)} (refused by --strict-unknown)")
        print(f"velkor: warning: {self.message(source)}", file=sys.stderr)


def shortened(text: str, most: int = 24) -> str:
    """text as repr shows it, cut after `most` characters: one cluster may
    carry any number of combining marks, one token any number of bytes."""
    if len(text) <= most:
        return repr(text)
    return f"{text[:most]!r}... ({len(text)} characters)"


def add_strict_unknown_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--strict-unknown", action="store_true",
        help='fail instead of warning when a cluster the model does not know is met (it encodes to "oov" and is lost)',
    )
