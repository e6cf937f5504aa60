"""`velkor show MODEL [TEXT | -]`: a text with its token boundaries made visible."""

from __future__ import annotations

import argparse
import html
import os
import sys
import tempfile
from collections.abc import Container
from dataclasses import dataclass
from typing import TYPE_CHECKING

import velkor
from velkor_tools.cli.common import add_complete_option, add_command, add_model_argument, encoding_failures, plural
from velkor_tools.files import STDIN_NAME, output_stream, read_input, refuse_model_as_output
from velkor_tools.model import STARTER_MODEL, load_model, module_failures, read_model
from velkor_tools.tokenizer import Tokenizer
from velkor_tools.unknown import UnknownClusters, add_strict_unknown_option
from velkor_tools.utf8 import add_errors_option, decode

if TYPE_CHECKING:
    from rich.text import Text

BACKGROUNDS = ["on grey23", "on dark_blue"]
UNKNOWN_STYLE = "bold white on red"


@dataclass
class Piece:
    text: str
    token: int
    unknown: bool  # a cluster the model lacks: it encodes to the id of "oov"


def _cluster_counter() -> velkor.Data:
    """A model without clusters or merges: its encoding has one id per grapheme cluster."""
    with tempfile.TemporaryDirectory(prefix="velkor-show-") as work:
        path = os.path.join(work, "starter.tok")
        with open(path, "wb") as f:
            f.write(STARTER_MODEL)
        return velkor.load_from_file(path)


def _first_cluster(counter: velkor.Data, text: str, start: int) -> int:
    """Length of the grapheme cluster at start: the longest prefix that is one cluster."""
    def one(length: int) -> bool:
        return len(counter.encode(text[start : start + length])) == 1

    rest = len(text) - start
    low, high = 1, 2  # one(low) holds; find a high that fails, then bisect
    while high <= rest and one(high):
        low, high = high, high * 2
    high = min(high, rest + 1)
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if one(middle) else (low, middle)
    return low


def pieces(
    tok: velkor.Data, oov_id: int | None, text: str, ids: list[int] | None = None,
    clusters: Container[str] = (),
) -> list[Piece]:
    """The text cut at the tokens of ids (by default tok.encode(text)), unknown clusters as they stand.

    The id of "oov" may also be the id of a token of the model (a hand-made
    model): where that token spells the text and the cluster there is one of
    `clusters`, the model's cluster texts, it is that token, not an unknown cluster."""
    counter: velkor.Data | None = None
    result = []
    position = 0
    for token in tok.encode(text) if ids is None else ids:
        unknown = token == oov_id
        piece = None
        if unknown:
            counter = counter or _cluster_counter()
            length = _first_cluster(counter, text, position)
            if text[position : position + length] in clusters:
                piece = tok.decode([token])
                unknown = not (piece and text.startswith(piece, position))
        if unknown:
            result.append(Piece(text[position : position + length], token, True))
        else:
            piece = tok.decode([token]) if piece is None else piece
            if not text.startswith(piece, position):
                raise ValueError(f"token {token} of the model does not match the text it encodes")
            result.append(Piece(piece, token, False))
            length = len(piece)
        position += length
    if position != len(text):  # a hand-made model's tokens can spell less than the text
        raise ValueError("the model's tokens do not spell the whole text they encode")
    return result


def plain(parts: list[Piece], ids: bool) -> str:
    """`|` between tokens; an unknown cluster as [?text]; with ids, each token's id in brackets."""
    out = []
    for part in parts:
        shown = f"[?{part.text}]" if part.unknown else part.text
        out.append(f"{shown}[{part.token}]" if ids else shown)
    return "|".join(out)


# Control characters drawn as symbols on a terminal, where they would act
# (an escape sequence can clear the screen): C0 as the Control Pictures
# block (U+2400 on), DEL as U+2421, C1 as a \x escape. Line feed and tab stay.
# The marks that reorder or break the lines around them (bidirectional
# controls, line and paragraph separators) show as \u escapes.
VISIBLE = {code: chr(0x2400 + code) for code in range(0x20) if chr(code) not in "\n\t"}
VISIBLE |= {0x7F: "\u2421"} | {code: f"\\x{code:02x}" for code in range(0x80, 0xA0)}
VISIBLE |= {code: f"\\u{code:04x}" for code in (0x061C, 0x200E, 0x200F, *range(0x2028, 0x202F), *range(0x2066, 0x206A))}


def coloured(parts: list[Piece], ids: bool) -> "Text":
    from rich.text import Text

    out = Text()
    for number, part in enumerate(parts):
        out.append(part.text.translate(VISIBLE), style=UNKNOWN_STYLE if part.unknown else BACKGROUNDS[number % 2])
        if ids:
            out.append(f"{part.token}", style="dim italic")
    return out


PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 2em; }}
.text {{ font-family: ui-monospace, monospace; white-space: pre-wrap; line-height: 2; font-size: 1.1em; }}
.t0 {{ background: #dbeafe; }} .t1 {{ background: #fde68a; }}
.unknown {{ background: #fecaca; outline: 1px dashed #b91c1c; }}
sub {{ color: #555; font-size: 0.65em; }}
</style></head>
<body><p>{summary}</p>
<div class="text">{body}</div>
</body></html>
"""


def page(parts: list[Piece], ids: bool, model: str) -> str:
    spans = []
    for number, part in enumerate(parts):
        kind = "unknown" if part.unknown else f"t{number % 2}"
        title = f"id {part.token}" + (" (unknown cluster)" if part.unknown else "")
        span = f'<span class="{kind}" title="{title}">{html.escape(part.text)}</span>'
        spans.append(span + (f"<sub>{part.token}</sub>" if ids else ""))
    unknown = sum(part.unknown for part in parts)
    shown = html.escape(os.fsencode(model).decode("utf-8", "replace"))  # a name that is not UTF-8
    summary = f"{plural(len(parts), 'token')}, {plural(unknown, 'unknown cluster')}; model {shown}"
    return PAGE.format(title=f"velkor show {shown}", summary=summary, body="".join(spans))


def run(args: argparse.Namespace) -> int:
    refuse_model_as_output(args.html, args.model, "--html")
    image, model = read_model(args.model)  # read once: MODEL may be a pipe
    tok = load_model(args.model, image)
    if args.text is None or args.text == "-":
        name, raw = read_input("-")
        text = decode(raw, name, args.errors)
    else:
        text = decode(os.fsencode(args.text), "TEXT", args.errors)
    with module_failures(args.model, "the model cannot encode this text"), encoding_failures(args.model):
        ids = Tokenizer(image, name=args.model).encode(text, complete=True) if args.complete else None
        parts = pieces(tok, model.oov_id, text, ids, model.unicode_lookup)
    unknown = UnknownClusters()
    for part in parts:
        if part.unknown:
            unknown.add({part.text: 1})
    source = "TEXT" if args.text not in (None, "-") else STDIN_NAME
    if args.strict_unknown:
        unknown.report(source, strict=True)  # before anything is written
    if args.html is not None:
        with output_stream(args.html) as out:  # "-": standard output
            out.write(page(parts, args.ids, args.model).encode("utf-8"))
    elif sys.stdout.isatty():
        from rich.console import Console

        Console(highlight=False).print(coloured(parts, args.ids))
    else:
        with output_stream(None) as out:
            out.write((plain(parts, args.ids) + "\n").encode("utf-8", "surrogateescape"))
    unknown.report(source, strict=False)  # once the output is there
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "show", "show a text's token boundaries",
        "Show TEXT (or standard input) cut into MODEL's tokens: alternating background "
        "colours on a terminal, `|` between tokens otherwise; a cluster the model does not know is "
        "shown as it stands, marked as unknown (red, or [?...]).",
        ['velkor show model.tok "Hello, wörld!" --ids',
         "velkor show model.tok - --html tokens.html < story.txt"],
    )
    add_model_argument(parser)
    parser.add_argument("text", metavar="TEXT", nargs="?", help='the text, or "-" (the default) for standard input')
    parser.add_argument("--ids", action="store_true", help="add each token's id")
    parser.add_argument("--html", metavar="FILE", help="write a self-contained HTML page of the view to FILE (\"-\" is standard output)")
    add_errors_option(parser)
    add_strict_unknown_option(parser)
    add_complete_option(parser)
    parser.set_defaults(run=run)
