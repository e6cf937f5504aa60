"""What the subcommands share: their parser with examples, the MODEL argument."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator

from velkor_tools.errors import ToolError

EXIT_INTERRUPTED = 130


def plural(count: int, noun: str) -> str:
    """ "1 shard", "2 shards": the count with its noun in the right number."""
    return f"{count} {noun if count == 1 else noun + 's'}"


def add_command(
    subparsers: argparse._SubParsersAction, name: str, summary: str, description: str,
    examples: list[str],
) -> argparse.ArgumentParser:
    """A subcommand's parser whose help ends with its examples."""
    label = "example" if len(examples) == 1 else "examples"
    return subparsers.add_parser(
        name, help=summary, description=description,
        epilog=f"{label}:\n" + "\n".join(f"  {line}" for line in examples),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


@contextlib.contextmanager
def encoding_failures(model: str) -> Iterator[None]:
    """A Tokenizer's encode refusing the text (a model without "oov" meeting
    a cluster it lacks) as one line naming the model."""
    from velkor_tools.tokenizer import ThreadsSettingError

    try:
        yield
    except ThreadsSettingError as error:  # the setting's fault, not the model's
        raise ToolError(str(error)) from None
    except (ValueError, RuntimeError) as error:  # RuntimeError: too many merges for --complete
        raise ToolError(f"{model}: the model cannot encode this text ({error})") from None


def add_model_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", metavar="MODEL", help="tokenizer file")


def add_complete_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--complete", action="store_true",
        help="merge while any adjacent pair is a learned merge (fewer tokens; not Data.encode's ids)",
    )
