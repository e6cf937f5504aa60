"""The `velkor` command: one module per subcommand, each with `register`."""

from velkor_tools.cli.app import main

__all__ = ["main"]
