"""Moved: the code lives in kovra.qasm.gate_table; this name stays for existing imports."""

import sys

from .qasm import gate_table

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = gate_table
