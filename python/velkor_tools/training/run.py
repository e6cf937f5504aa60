"""`velkor train` and `velkor_tools.train` start here: inputs made regular, then plain training or training to a vocabulary size."""

from __future__ import annotations

from velkor_tools.errors import ToolError
from velkor_tools.files import STDIN_NAME, names_descriptor
from velkor_tools.training.driver import (
    TrainResult, make_private_directory, model_lock, regular_copy, remove_private_directory,
    remove_stale_directories, signals_held,
    train_files,
)
from velkor_tools.training.to_size import check_vocab_size, train_to_size


def run_training(
    model: str, corpora: list[str], log: str | None = None, verbose: bool = False,
    errors: str = "replace", vocab_size: int | None = None, progress: bool = True,
    size_name: str = "--vocab-size",
) -> TrainResult:
    """Trains MODEL on each corpus in order, as consecutive Data.train calls would.

    errors="strict" refuses a corpus with invalid UTF-8 before training starts.
    A corpus that is not a regular file is read once into a private copy.
    With vocab_size, passes over all corpora run until the model holds that
    many tokens or a pass adds none, then the model is trimmed to exactly
    that many (see trim).
    """
    if vocab_size is not None:
        check_vocab_size(vocab_size, size_name)
        if log is not None:
            raise ToolError("--log keeps the log of one pass: leave it out with --vocab-size", 2)
    if names_descriptor(model):
        # Training replaces MODEL by a rename beside it, which a descriptor's name has no room for.
        raise ToolError(f"{model}: names a descriptor, not a file; give the model's file name")
    remove_stale_directories()
    with model_lock(model):
        copies = make_private_directory()
        try:
            regular = [regular_copy(path, copies, number) for number, path in enumerate(corpora)]
            names = [STDIN_NAME if path == "-" else path for path in corpora]
            if vocab_size is None:
                return train_files(model, names, regular, log, verbose, errors, progress)
            return train_to_size(model, names, regular, verbose, errors, vocab_size, progress)
        finally:
            with signals_held():
                remove_private_directory(copies)
