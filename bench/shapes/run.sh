#!/usr/bin/env bash
# The shapes race: kovra (this work tree's build/dev, or --kovra NAME=PATH
# given) against qsim on circuits of shapes.py. Build first with
#   KOVRA_BUILD_BENCH=ON bash scripts/dev_build.sh
#   bash bench/shapes/run.sh --circuit scatter:22 --circuit qv:22 [--threads 1,2] [--rounds 3]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
export KOVRA_VENV="${KOVRA_VENV:-$ROOT/.venv}"
PEERS="$(bash bench/peers/setup_venv.sh)"
KOVRA_ARGS=()
[[ " $* " == *" --kovra "* ]] || KOVRA_ARGS=(--kovra "this=$ROOT/build/dev/python")
exec "$PEERS/bin/python" bench/shapes/race.py --kovra-python "$KOVRA_VENV/bin/python" "${KOVRA_ARGS[@]}" "$@"
