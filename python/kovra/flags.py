"""Moved: the code lives in kovra.translate.flags; this name stays for existing imports."""

import sys

from .translate import flags

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = flags
