#!/usr/bin/env bash
# Creates (once) the venv of the competing simulators, apart from the project
# venv, with the pinned versions of requirements.txt and constraints.txt, and
# prints its path. Override the place with KOVRA_PEERS_VENV.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
VENV="${KOVRA_PEERS_VENV:-${KOVRA_CACHE_DIR:-$HOME/.cache/kovra_backends}/peers-venv}"
STAMP="$VENV/.kovra-requirements"
WANT="$(cat "$HERE/requirements.txt" "$HERE/constraints.txt" | sha256sum | cut -d' ' -f1)"
if [[ ! -x "$VENV/bin/python" || ! -f "$STAMP" || "$(cat "$STAMP")" != "$WANT" ]]; then
    python3.11 -m venv "$VENV" >&2
    "$VENV/bin/pip" install -q --only-binary=:all: -r "$HERE/requirements.txt" -c "$HERE/constraints.txt" >&2
    echo "$WANT" > "$STAMP"
fi
echo "$VENV"
