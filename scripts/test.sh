#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ unit tests through CTest
# and the Python tests through pytest.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
export PATH="$ROOT/.venv/bin:$PATH"
echo "[test] building the C++ tests"
bash scripts/configure.sh build/cpp-tests -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_MODULE=OFF
.venv/bin/cmake --build build/cpp-tests -j "$(nproc)"
echo "[test] C++ tests"
(cd build/cpp-tests && ../../.venv/bin/ctest --output-on-failure -j "$(nproc)")
if command -v mpirun >/dev/null; then
    echo "[test] Python tests, with runs spread over 2 and 4 MPI ranks (tests/python/test_distributed.py)"
else
    echo "[test] mpirun not found: the tests of runs spread over MPI ranks are skipped"
fi
echo "[test] Python tests"
.venv/bin/python -m pytest -q tests/python "$@"
