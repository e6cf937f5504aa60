"""One policy for invalid UTF-8 in the command's text inputs.

Under `--errors strict` (the default of the commands that read text) the
first ill-formed byte stops the command with one message that names its file,
line and byte offset; under `--errors replace` each maximal ill-formed
subsequence becomes one U+FFFD, the substitution the tokenizer module's
training applies (and Python's own "replace" handler).
"""

from __future__ import annotations

import argparse
import codecs
import threading

from velkor_tools.errors import ToolError

ERRORS = ("strict", "replace")


def invalid_utf8_message(name: str, line: int, offset: int) -> str:
    """The message for an ill-formed byte at `offset` (from 0) on `line` (from 1) of `name`."""
    return f"{name}:{line}: invalid UTF-8 at byte {offset} (--errors replace substitutes U+FFFD)"


class InvalidUtf8(ToolError):
    """Invalid UTF-8 under --errors strict, with its place in the file."""

    def __init__(self, name: str, line: int, offset: int) -> None:
        super().__init__(invalid_utf8_message(name, line, offset))
        self.name = name
        self.line = line
        self.offset = offset


def add_errors_option(parser: argparse.ArgumentParser, default: str = "strict") -> None:
    """The --errors option of a command that reads text."""
    parser.add_argument(
        "--errors", choices=ERRORS, default=default,
        help=f"invalid UTF-8: stop with its file, line and byte (strict), or substitute U+FFFD "
        f"for each ill-formed sequence (replace); default: {default}",
    )


def decode(raw: bytes, name: str, errors: str = "strict", offset: int = 0, line: int = 1) -> str:
    """The text of raw, a piece of the file `name` that starts at byte `offset`
    and on line `line` of it; InvalidUtf8 under strict."""
    try:
        return raw.decode("utf-8", errors)
    except UnicodeDecodeError as error:
        raise InvalidUtf8(name, line + raw.count(b"\n", 0, error.start), offset + error.start) from None


class StreamDecoder:
    """Decodes a file that arrives in pieces of any size, with decode's errors:
    a sequence cut between two pieces is joined, not replaced."""

    def __init__(self, name: str, errors: str = "strict") -> None:
        if errors not in ERRORS:
            raise ValueError(f"errors must be one of {ERRORS}, not {errors!r}")
        self.name = name
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors)
        self._fed = 0  # bytes fed so far
        self._lines = 1  # line of the next byte

    def feed(self, data: bytes, final: bool = False) -> str:
        """The text that data completes; final=True at the end of the file."""
        held = len(self._decoder.getstate()[0])  # the start of a cut sequence, no line feed in it
        try:
            text = self._decoder.decode(data, final)
        except UnicodeDecodeError as error:
            # error.start counts from the held bytes, which the decoder put first.
            in_data = max(0, error.start - held)
            line = self._lines + data.count(b"\n", 0, in_data)
            raise InvalidUtf8(self.name, line, self._fed - held + error.start) from None
        self._fed += len(data)
        self._lines += data.count(b"\n")
        return text


_counted = threading.local()


def _count_replaced(error: UnicodeError) -> tuple[str, int]:
    assert isinstance(error, UnicodeDecodeError)
    _counted.bytes += error.end - error.start
    return "\ufffd", error.end


codecs.register_error("velkor-count-replaced", _count_replaced)


def replaced_bytes(raw: bytes) -> int:
    """How many bytes of raw lie in ill-formed sequences, which decoding with
    errors="replace" turns into U+FFFD."""
    try:
        raw.decode("utf-8")
        return 0
    except UnicodeDecodeError:
        pass
    _counted.bytes = 0
    raw.decode("utf-8", "velkor-count-replaced")
    return int(_counted.bytes)
