"""The `velkor` command: one module per subcommand, each with `register`."""

from velkor_tools.cli.main import main

__all__ = ["main"]
