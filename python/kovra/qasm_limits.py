"""Moved: the code lives in kovra.qasm.limits; this name stays for existing imports."""

import sys

from .qasm import limits

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = limits
