"""Moved: the code lives in kovra.tools.emulator; ``python -m kovra.emulator`` still starts it."""

import sys

from .tools import emulator

if __name__ == "__main__":
    sys.exit(emulator.main())
# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = emulator
