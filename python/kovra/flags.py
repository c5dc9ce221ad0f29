"""Moved: the code lives in kovra.qiskit.flags; this name stays for existing imports."""

import sys

from .qiskit import flags

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = flags
