"""Training to a vocabulary size: passes over the files, then a trim to exactly that many tokens."""

from __future__ import annotations

import os
import sys
import time

from velkor_tools.cli.common import plural
from velkor_tools.errors import ToolError
from velkor_tools.files import write_atomically
from velkor_tools.model import STARTER_MODEL, parse_model, read_model
from velkor_tools.training.driver import (
    TrainResult, VocabularyFull, check_id_0, check_training_files, train_files,
)


def check_vocab_size(size: int, name: str = "--vocab-size") -> None:
    """A ToolError naming the option (or argument) `name` unless size is a vocabulary size training can reach."""
    least = len(parse_model(STARTER_MODEL).lookup)
    if not least <= size <= 65536:
        raise ToolError(f"{name} must be from {least} (the starter model's tokens) to 65536, not {size}", 2)


def _tokens(model: str) -> int:
    """The tokens of MODEL, or of the starter model that training starts from when it is missing."""
    parsed = read_model(model)[1] if os.path.exists(model) else parse_model(STARTER_MODEL)
    return len(parsed.lookup)


def train_to_size(
    model: str, given: list[str], corpora: list[str], verbose: bool, errors: str, size: int,
    progress: bool,
) -> TrainResult:
    """Training passes until MODEL holds `size` tokens or a pass adds none, then the trim."""
    replaced: int | None = None  # the same corpus every pass: scanned by the first
    # Before any pass is announced, and before MODEL is read (a FIFO would be
    # waited on); when no pass runs, the files are unread, but a missing one, or
    # MODEL among them, is still an error (standard input is a private copy by now).
    check_training_files(model, given, corpora)
    tokens = _tokens(model)
    if tokens > size:
        _say(progress, f"{model}: holds {plural(tokens, 'token')}, more than {size}: trimmed without training")
    number = 0
    started = time.monotonic()
    corpus_bytes = 0
    full = False
    while tokens < size:
        number += 1
        _say(progress, f"pass {number}: {plural(tokens, 'token')} of {size}")
        try:
            result = train_files(model, given, corpora, None, verbose, errors, progress, replaced)
        except VocabularyFull as stopped:
            # A chunk ran out of ids: MODEL keeps the pass's last completed chunk, at
            # least as large as the one before it, and is trimmed from there.
            replaced = stopped.replaced_bytes
            tokens = _tokens(model)
            full = True
            _say(progress, f"{model}: a chunk ran out of token ids; kept the last completed one, "
                           f"{plural(tokens, 'token')}")
            break
        corpus_bytes += result.corpus_bytes
        replaced = result.replaced_bytes
        if result.tokens <= tokens:
            _say(progress, f"{model}: stopped at {plural(tokens, 'token')}, short of {size}: "
                           "a pass over the corpus added none (more text would add more)")
            break
        tokens = result.tokens
    if not os.path.exists(model):  # the starter model held enough: no pass ran to write it
        write_atomically(model, STARTER_MODEL)
    trim(model, size, progress)
    _, final = read_model(model)
    # Time of every pass, bytes of those that finished.
    return TrainResult(len(final.lookup), len(final.merges), final.clusters,
                       time.monotonic() - started, corpus_bytes, replaced or 0, full)


def trim(model: str, size: int, progress: bool) -> None:
    """Drops merged tokens, highest id first, down to `size` tokens, renumbered 0 to size - 1."""
    from velkor_tools.tokenizer import Tokenizer

    image, parsed = read_model(model)
    check_id_0(model, parsed, trimming=True)
    trimmed = Tokenizer.from_bytes(image)._trimmed(size)
    kept = parse_model(trimmed)
    if len(kept.lookup) > size:
        _say(progress, f"{model}: its {len(kept.lookup)} cluster tokens ({plural(kept.clusters, 'cluster')} "
                       f"and the empty token) alone are more than {size}: all kept")
    write_atomically(model, trimmed)


def _say(progress: bool, message: str) -> None:
    if progress:
        print(f"velkor: {message}", file=sys.stderr, flush=True)
