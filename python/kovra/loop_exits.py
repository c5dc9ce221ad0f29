"""Moved: the code lives in kovra.translate.loop_exits; this name stays for existing imports."""

import sys

from .translate import loop_exits

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = loop_exits
