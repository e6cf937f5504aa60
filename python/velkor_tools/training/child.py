"""The process that `velkor train` runs the training in.

`Data.train` holds the interpreter lock for its whole call, so the command
trains in this child and reads its console lines (file descriptor 1) for
progress. The working directory is the command's private directory, where the
module saves "tokenizer" after each chunk and appends its merge log to
"log.txt".

Arguments: parent pid, start model, "1" to keep the merge log, corpus paths.
"""

from __future__ import annotations

import ctypes
import os
import signal
import sys

# Prefixes the last line on standard error when a training call fails:
# MARK, the corpus path, a tab, the module's message.
FAILURE_MARK = "velkor-train-failed:"
PR_SET_PDEATHSIG = 1


def die_with_parent(parent: int) -> None:
    """A SIGKILL for this process when the parent ends, however it ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:  # the parent was gone before the request
        os._exit(1)


def main(argv: list[str]) -> int:
    parent, start_model, keep_log, *corpora = argv
    die_with_parent(int(parent))
    import velkor

    tok = velkor.load_from_file(start_model)
    for corpus in corpora:
        try:
            tok.train(corpus, keep_log == "1", "train.log")
        except BaseException as error:  # PanicException derives from BaseException
            sys.stderr.write(f"\n{FAILURE_MARK}{corpus}\t{error}\n")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
