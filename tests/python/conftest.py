import os
import sys

# Use the in-tree Python helpers (graph builder, device emulator) rather than
# a possibly stale installed copy.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
