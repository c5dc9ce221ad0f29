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
if [[ ! -f build/dev/build.ninja ]]; then
    bash scripts/configure.sh build/dev -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_MODULE=ON \
        -DKOVRA_BUILD_BENCH="${KOVRA_BUILD_BENCH:-OFF}"
fi
cmake --build build/dev -j "${JOBS:-1}"
