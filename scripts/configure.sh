#!/usr/bin/env bash
# Configures one CMake build tree with the flags every tree of the project
# shares: the igraph core, the venv's pybind11 and Python, Ninja.
#   bash scripts/configure.sh BUILD_DIR [more cmake arguments]
# The venv is KOVRA_VENV (default .venv). The pip builds (setup.sh,
# wheel_check.sh) take the same igraph core through pyproject.toml.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
OUT="$1"
shift
VENV="${KOVRA_VENV:-$ROOT/.venv}"
export PATH="$VENV/bin:$PATH"
# shellcheck source=scripts/compiler_cache.sh
source "$ROOT/scripts/compiler_cache.sh"
PREFIX="$(bash scripts/build_igraph_core.sh)"
CMAKE_POLICY_VERSION_MINIMUM=3.5 cmake -S . -B "$OUT" -G Ninja \
    -DKOVRA_IGRAPH_ROOT="$PREFIX" -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" \
    -DPython_EXECUTABLE="$VENV/bin/python" "$@" >/dev/null
