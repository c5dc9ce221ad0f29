"""Moved: the code lives in kovra.translate.arm_scan; this name stays for existing imports."""

import sys

from .translate import arm_scan

# The very module, not a copy of its names: what callers patch here is what it reads.
sys.modules[__name__] = arm_scan
