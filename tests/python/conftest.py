import os
import sys

# Use the in-tree Python helpers (graph builder, device emulator) rather than
# a possibly stale installed copy.
# scripts/wheel_check.sh sets KOVRA_TEST_INSTALLED to test an installed wheel.
if not os.environ.get("KOVRA_TEST_INSTALLED"):
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
