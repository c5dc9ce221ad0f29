#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   bash scripts/sanitize.sh [pytest arguments...]
#
# Builds the module, the device library and the C++ tests with
# -fsanitize=address,undefined (gcc, every finding fatal) into build/asan,
# runs the C++ tests through CTest, then the Python tests against that module
# with the ASan runtime preloaded into the interpreter. Exits non-zero on the
# first finding or failing test.
#
# Leak checking: on for the C++ tests, off inside the Python interpreter,
# whose own allocations at exit are not meant to be freed.
# Environment: KOVRA_VENV (an existing venv; default: scripts/setup.sh makes
# .venv), JOBS (build jobs, default 1).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
if [[ -z "${KOVRA_VENV:-}" ]]; then
    bash scripts/setup.sh
    VENV="$ROOT/.venv"
else
    VENV="$KOVRA_VENV"
fi
export PATH="$VENV/bin:$PATH"
OUT="$ROOT/build/asan"

SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
if [[ ! -f "$OUT/build.ninja" ]]; then
    echo "[sanitize] configuring $OUT"
    KOVRA_VENV="$VENV" bash scripts/configure.sh "$OUT" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS="$SAN" -DCMAKE_CXX_FLAGS="$SAN" \
        -DCMAKE_EXE_LINKER_FLAGS="$SAN" -DCMAKE_SHARED_LINKER_FLAGS="$SAN" \
        -DCMAKE_MODULE_LINKER_FLAGS="$SAN" \
        -DKOVRA_BUILD_TESTS=ON -DKOVRA_BUILD_MODULE=ON
fi
echo "[sanitize] building"
cmake --build "$OUT" -j "${JOBS:-1}"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "[sanitize] C++ tests"
(cd "$OUT" && ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
    LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0" \
    ctest --output-on-failure)

echo "[sanitize] Python tests"
ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
KOVRA_SANITIZED=1 PYTHONPATH="$OUT/python" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
