"""Moved: the code lives in kovra.tools.plot; this name stays for existing imports."""

import sys

from .tools import plot

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = plot
