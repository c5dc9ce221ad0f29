#!/usr/bin/env bash
# The race: kovra against Qiskit Aer, Qulacs and qsim on the same circuits.
#   bash bench/peers/run.sh            full run (about 35 minutes on 2 cores)
#   bash bench/peers/run.sh --quick    smoke run (a few minutes)
#   bash bench/peers/run.sh --circuit FILE.qasm --circuit FILE.json    with circuits of one's own
# Further options (qubit counts, runs, threads): bash bench/peers/run.sh --help
# Builds kovra incrementally into build/dev (single job unless JOBS is set),
# with the project venv KOVRA_VENV (default .venv, set up by scripts/setup.sh
# when missing), and writes bench/results/<date>.{json,md,png}.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
export KOVRA_VENV="${KOVRA_VENV:-$ROOT/.venv}"
[[ -x "$KOVRA_VENV/bin/python" ]] || bash scripts/setup.sh
PEERS="$(bash bench/peers/setup_venv.sh)"
KOVRA_BUILD_BENCH=ON JOBS="${JOBS:-1}" bash scripts/dev_build.sh >&2
# An existing build directory may have been configured without the benchmarks.
if [[ ! -x build/dev/bench/translate_bench ]]; then
    PATH="$KOVRA_VENV/bin:$PATH" cmake -DKOVRA_BUILD_BENCH=ON build/dev >/dev/null && JOBS="${JOBS:-1}" bash scripts/dev_build.sh >&2
fi
exec "$PEERS/bin/python" bench/peers/driver.py --kovra-python "$KOVRA_VENV/bin/python" \
    --kovra-path "$ROOT/build/dev/python" --translate-bench "$ROOT/build/dev/bench/translate_bench" \
    --blocking-bench "$ROOT/build/dev/bench/blocking_bench" "$@"
