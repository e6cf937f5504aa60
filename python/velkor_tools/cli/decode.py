"""`velkor decode MODEL [FILE...]`: token ids back to text."""

from __future__ import annotations

import argparse
import io
import math
from typing import Any

from velkor_tools.cli.common import add_command, add_model_argument, plural
from velkor_tools.errors import ToolError
from velkor_tools.files import output_stream, read_input, refuse_model_as_output, split_lines
from velkor_tools.model import load_model, module_failures


def _cut(word: bytes) -> str:
    """A word of an ids file as an error shows it: a long one cut short."""
    return word[:24].decode("utf-8", "backslashreplace") + ("..." if len(word) > 24 else "")


def parse_ids(name: str, raw: bytes, known: set[int]) -> list[list[int]]:
    """One list of ids per line of the text format; errors name the line."""
    documents = []
    for number, line in enumerate(split_lines(raw), 1):
        ids = []
        for word in line.split():
            if not word.isdigit():  # ASCII digits only, as encode writes them (int() takes "1_0", "+9")
                raise ToolError(f"{name}:{number}: '{_cut(word)}' is not a token id")
            value = int(word) if len(word) <= 24 else None  # int() refuses over 4,300 digits
            if value not in known:
                what = "not in the model" if value is not None and value <= 65535 else "out of range (0 to 65535)"
                raise ToolError(f"{name}:{number}: token id {_cut(word) if value is None else value} is {what}")
            ids.append(value)
        documents.append(ids)
    return documents


def _load_npy(np: Any, raw: bytes) -> Any:
    """The array of a .npy file's bytes, never unpickled; its header is
    checked against the bytes that follow before anything is allocated."""
    stream = io.BytesIO(raw)
    version = np.lib.format.read_magic(stream)  # an .npz or other file fails here
    read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, _, dtype = read_header(stream)
    if math.prod(shape) * dtype.itemsize > len(raw) - stream.tell():
        raise ValueError(f"its header declares shape {shape} of {dtype}, more than the file holds")
    return np.load(io.BytesIO(raw), allow_pickle=False)


def read_array(name: str, raw: bytes, form: str, known: set[int]) -> list[int]:
    """The one document of a file that `velkor encode --format npy|bin` wrote."""
    import numpy as np  # only here: it slows the start of every other command

    if form == "bin":
        if len(raw) % 2:
            raise ToolError(f"{name}: {plural(len(raw), 'byte')} is not a whole number of uint16 ids")
        ids = np.frombuffer(raw, "<u2").tolist()
    else:
        try:
            array = _load_npy(np, raw)
        except (ValueError, OSError, EOFError) as error:
            raise ToolError(f"{name}: not a NumPy .npy file ({error})") from None
        if array.ndim != 1 or array.dtype.kind not in "ui":
            raise ToolError(f"{name}: holds a {array.ndim}-dimensional {array.dtype} array, not a list of token ids")
        ids = array.tolist()
    for position, value in enumerate(ids):
        if value not in known:
            what = "out of range (0 to 65535)" if not 0 <= value <= 65535 else "not in the model"
            raise ToolError(f"{name}: token id {value} at position {position} is {what}")
    return ids


def run(args: argparse.Namespace) -> int:
    refuse_model_as_output(args.output, args.model, "-o")
    tok = load_model(args.model)
    known = set(tok.vocab())
    documents = []
    for path in args.files or ["-"]:
        if args.format == "text":
            documents += parse_ids(*read_input(path), known)
        else:
            documents.append(read_array(*read_input(path), args.format, known))
    ending = "\n" if args.lines else ""
    with module_failures(args.model, "decoding failed"):
        texts = [tok.decode(ids) + ending for ids in documents]
    with output_stream(args.output) as out:
        for text in texts:
            out.write(text.encode("utf-8"))
    return 0


def register(subparsers: argparse._SubParsersAction) -> None:
    parser = add_command(
        subparsers, "decode", "turn token ids back into text",
        "Read token ids as `velkor encode` writes them (text: one document per line; npy "
        "or bin: one document per file) and write the texts back to back, or each followed by "
        "a line feed with --lines.",
        ["velkor encode model.tok story.txt | velkor decode model.tok",
         "velkor decode model.tok --lines corpus.ids -o corpus.txt",
         "velkor decode model.tok --format npy story.npy -o story.txt"],
    )
    add_model_argument(parser)
    parser.add_argument("files", metavar="FILE", nargs="*", default=[], help='files of ids ("-" is standard input)')
    parser.add_argument("--lines", action="store_true", help="end each document with a line feed")
    parser.add_argument("-o", "--output", metavar="OUT", help="write here instead of standard output")
    parser.add_argument("--format", choices=["text", "npy", "bin"], default="text", help="input format (default: text)")
    parser.set_defaults(run=run)
