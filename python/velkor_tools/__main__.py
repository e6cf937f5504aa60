"""`python -m velkor_tools` runs the `velkor` command."""

from velkor_tools.cli import main

raise SystemExit(main())
