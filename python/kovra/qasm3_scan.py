"""Moved: the code lives in kovra.qasm.qasm3_scan; this name stays for existing imports."""

import sys

from .qasm import qasm3_scan

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = qasm3_scan
