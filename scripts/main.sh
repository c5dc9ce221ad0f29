#!/usr/bin/env bash
# Sets everything up, then runs the main job: the example circuit on the
# back ends.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
# Teleportation on BasicSimulator, then on NMR against the local emulator
# (started and stopped by the example), then the smaller examples.
.venv/bin/python examples/main.py
.venv/bin/python examples/nmr_example.py
for example in bell ghz parametrised; do
    .venv/bin/python "examples/$example.py"
done
