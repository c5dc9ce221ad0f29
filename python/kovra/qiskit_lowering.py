"""Moved: the code lives in kovra.qiskit.backend_lowering; this name stays for existing imports."""

import sys

from .qiskit import backend_lowering

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = backend_lowering
