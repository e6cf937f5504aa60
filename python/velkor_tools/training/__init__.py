"""Training model files: `velkor_tools.train` from Python, and what `velkor train` runs.

run.py starts a training, driver.py runs one over the files in a child
process (child.py) with progress, to_size.py trains to a vocabulary size.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable

from velkor_tools.cli.common import plural
from velkor_tools.errors import ToolError
from velkor_tools.files import describe
from velkor_tools.streams import guard_closed_descriptors
from velkor_tools.tokenizer import Tokenizer


def train(
    model: str | os.PathLike[str], files: Iterable[str | os.PathLike[str]], *,
    vocab_size: int | None = None, progress: bool = True,
) -> Tokenizer:
    """Trains the tokenizer file `model` (the starter model if it does not exist) on `files`.

    Each file is one unchanged `Data.train` call, run in a child process; the
    model file is replaced atomically after every chunk. With `vocab_size`,
    passes over all files run until the model holds that many tokens (or a
    pass adds none), then merged tokens are dropped, highest id first, down to
    exactly `vocab_size`, numbered 0 to vocab_size - 1. When a pass adds no
    token before that size is reached, the model stays smaller and a
    `UserWarning` says so, as it does when bytes of the files that are not
    UTF-8 were trained as U+FFFD. `progress` shows a display on standard error.
    Failures raise `velkor_tools.errors.ToolError`.
    """
    from velkor_tools.training.run import run_training

    if isinstance(files, (str, bytes, os.PathLike)):  # would be taken a character at a time
        raise TypeError("files must be a list of paths, not one path (write [path])")
    if vocab_size is not None and (isinstance(vocab_size, bool) or not isinstance(vocab_size, int)):
        raise TypeError(f"vocab_size must be an int or None, not {type(vocab_size).__name__}")
    # A process that closed its standard streams (a daemon) would have the
    # training's lock, directory or files take their descriptors, and the
    # progress display would write into them.
    guard_closed_descriptors()
    path = os.fsdecode(model)  # bytes paths too, as str
    try:
        result = run_training(path, [os.fsdecode(f) for f in files], vocab_size=vocab_size, progress=progress,
                              size_name="vocab_size")
    except OSError as error:  # the command reports these as one line; a caller gets a ToolError too
        where = f"{error.filename}: " if error.filename else f"{path}: "
        raise ToolError(where + describe(error)) from error
    tokenizer = Tokenizer.from_file(path)
    if result.replaced_bytes:  # a compressed or binary file given by mistake, perhaps
        warnings.warn(f"{path}: trained with {plural(result.replaced_bytes, 'byte')} of the files replaced by U+FFFD "
                      "(not UTF-8)", UserWarning, stacklevel=2)
    if vocab_size is not None and len(tokenizer) < vocab_size:
        why = ("a chunk ran out of token ids" if result.ran_out_of_ids
               else "a pass over the files added none (more text would add more)")
        warnings.warn(f"{path}: {len(tokenizer)} tokens, short of {vocab_size}: {why}",
                      UserWarning, stacklevel=2)
    elif vocab_size is not None and len(tokenizer) > vocab_size:
        warnings.warn(
            f"{path}: {len(tokenizer)} cluster tokens ({result.clusters} clusters and the empty token) "
            f"alone are more than {vocab_size}: all kept",
            UserWarning, stacklevel=2,
        )
    return tokenizer
