"""The tokenizer module's failure messages in plain words.

The module fails with fixed texts followed by a rendering of the error in
library notation, such as `Should work: Io(Kind(UnexpectedEof))` or
`Train File Not Existed: Os { code: 2, kind: NotFound, message: "..." }`.
The command shows a person what went wrong instead.
"""

from __future__ import annotations

import re

# The module's fixed texts: what the step was doing.
_STEPS = {
    "Should work": "",
    "Train File Not Existed": "cannot open the training file: ",
    "Logs File throws an error To Work": "cannot write the log file: ",
    "To Work": "",
}

# Whole messages that carry no rendering.
_WHOLE = {
    "This should not happend": "a token id is not in the model",
    "This should not happen": "a merged token's part has no bytes in the model",
    "called `Option::unwrap()` on a `None` value": 'the model has no "oov" entry for clusters it does not know',
}

_RENDERINGS = [
    (re.compile(r'Os \{ code: \d+, kind: \w+, message: "(.*)" \}'), lambda m: _unquote(m[1])),
    (re.compile(r'Error \{ kind: WriteZero, message: ".*" \}'), lambda m: "the file system accepts no more bytes"),
    (re.compile(r'Error \{ kind: \w+, message: "(.*)" \}'), lambda m: _unquote(m[1])),
    (re.compile(r"Io\(Kind\(UnexpectedEof\)\)|Io\(Custom \{ kind: UnexpectedEof, .*\}\)"), lambda m: "the file ends early"),
    (re.compile(r"InvalidUtf8Encoding\(.*\)"), lambda m: "a cluster text is not valid UTF-8"),
    (re.compile(r"Custom\(Invalid size (\d+): .*\)"), lambda m: f"a count or length of {m[1]} is too large"),
]


def _unquote(text: str) -> str:
    return text.replace('\\"', '"').replace("\\\\", "\\")


def plain(message: str) -> str:
    """The module's failure message as a person reads it; unknown forms pass as they are."""
    if message in _WHOLE:
        return _WHOLE[message]
    step, separator, rendering = message.partition(": ")
    if not separator or step not in _STEPS:
        return message
    words = _rendering_words(rendering)
    return message if words is None else _STEPS[step] + words


def plain_rendering(rendering: str) -> str:
    """An error rendering alone (as a tokenizer file's decoding error gives) in plain words."""
    words = _rendering_words(rendering)
    return rendering if words is None else words


def _rendering_words(rendering: str) -> str | None:
    for pattern, words in _RENDERINGS:
        if match := pattern.fullmatch(rendering):
            return words(match)
    return None
