#!/usr/bin/env bash
# Builds the wheel, installs it into a fresh venv as a newcomer would, and runs
# the Python tests against that installation (module, stubs, device library
# and the kovra helpers all from the wheel).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
PREFIX="$(bash scripts/build_igraph_core.sh)"
echo "[wheel] building"
PATH="$ROOT/.venv/bin:$PATH" .venv/bin/pip wheel -q --no-deps --no-build-isolation \
    -C "cmake.define.KOVRA_IGRAPH_ROOT=$PREFIX" -w "$WORK/dist" .
echo "[wheel] installing $(ls "$WORK/dist") into a fresh venv"
python3.11 -m venv "$WORK/venv"
# python-igraph 0.9.11 builds from source; CMake 4 needs the policy floor.
CMAKE_POLICY_VERSION_MINIMUM=3.5 "$WORK/venv/bin/pip" install -q --disable-pip-version-check \
    "$(ls "$WORK"/dist/*.whl)[all]" pytest==9.0.3 hypothesis==6.155.2 pybind11-stubgen==3.0.0 \
    qiskit-aer==0.18.2
echo "[wheel] testing the installed wheel"
cd "$WORK"
KOVRA_TEST_INSTALLED=1 "$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"
