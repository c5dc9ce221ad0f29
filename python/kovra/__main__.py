"""``python -m kovra``: the command line, which lives in kovra.tools.cli."""

import sys

from .tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
