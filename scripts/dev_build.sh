#!/usr/bin/env bash
# Incremental developer build: the module and the C++ tests into build/dev,
# using an existing venv (KOVRA_VENV, default .venv). Run the tests against it:
#   bash scripts/dev_build.sh && (cd build/dev && ctest) &&
#   PYTHONPATH=build/dev/python $VENV/bin/python -m pytest tests/python
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="${KOVRA_VENV:-$ROOT/.venv}"
export PATH="$VENV/bin:$PATH"
PREFIX="$(bash scripts/build_igraph_core.sh)"
if [[ ! -f build/dev/build.ninja ]]; then
    CMAKE_POLICY_VERSION_MINIMUM=3.5 cmake -S . -B build/dev -G Ninja \
        -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_MODULE=ON -DKOVRA_BUILD_BENCH="${KOVRA_BUILD_BENCH:-OFF}" \
        -DKOVRA_IGRAPH_ROOT="$PREFIX" -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" \
        -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
fi
cmake --build build/dev -j "${JOBS:-1}"
