"""Moved: the code lives in kovra.translate.gate_table; this name stays for existing imports."""

import sys

from .translate import gate_table

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = gate_table
