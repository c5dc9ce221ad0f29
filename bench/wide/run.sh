#!/usr/bin/env bash
# Wide programs (20 to 28 qubits, every qubit measured) on kovra, qsim and Aer:
#   bash bench/wide/run.sh                        all programs (about 10 minutes on 2 cores)
#   bash bench/wide/run.sh --programs ghz_n22,bv_n20 --reps 1     a few
# Further options: bash bench/wide/run.sh --help
# kovra is the module installed in the project venv (scripts/setup.sh; put
# another build first with --kovra-path build/dev/python); the peers run in
# their own venv (bench/peers/setup_venv.sh). Writes
# bench/results/<date>-wide.{json,md}.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
export KOVRA_PYTHON="${KOVRA_PYTHON:-$ROOT/.venv/bin/python}"
[[ -x "$KOVRA_PYTHON" ]] || bash scripts/setup.sh >&2
PEERS="$(bash bench/peers/setup_venv.sh)"
exec "$PEERS/bin/python" bench/wide/race.py "$@"
