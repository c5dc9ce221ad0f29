"""The main job: a teleportation circuit on the BasicSimulator."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kovra_backends  # noqa: E402
import teleportation  # noqa: E402

print(kovra_backends.__doc__)
teleportation.main()
