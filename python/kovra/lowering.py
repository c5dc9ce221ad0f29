"""Moved: the code lives in kovra.translate.circuit_walk; this name stays for existing imports."""

import sys

from .translate import circuit_walk

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = circuit_walk
