#!/usr/bin/env bash
# Sets up everything kovra_backends needs on a fresh machine, idempotently:
# Debian packages, the project venv (.venv) with pinned versions, the static
# igraph C core (cached outside the work tree) and the module itself.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="${PYTHON:-python3.11}"
VENV="$ROOT/.venv"
export PATH="$VENV/bin:$PATH"
export KOVRA_CACHE_DIR="${KOVRA_CACHE_DIR:-$HOME/.cache/kovra_backends}"
# Open MPI (headers and mpirun) lets a run spread its state vector over the
# ranks of an MPI job; the module builds without it too.
# ccache lets a second clone of the sources build from what the first compiled.
APT_PACKAGES="nlohmann-json3-dev libgtest-dev libgmock-dev libasio-dev libbenchmark-dev libopenmpi-dev openmpi-bin ccache"

log() { echo "[setup] $*"; }
# shellcheck source=scripts/apt_packages.sh
source "$ROOT/scripts/apt_packages.sh"

make_venv() {
    if [[ ! -x "$VENV/bin/python" ]]; then
        log "creating $VENV"
        "$PY" -m venv "$VENV"
    fi
    # python-igraph 0.9.11 builds from its source distribution; CMake 4 needs
    # the policy floor raised for igraph's old CMakeLists.
    if ! "$VENV/bin/python" -c "import sys; sys.exit(0 if open('$VENV/.pins').read() == open('$ROOT/requirements-dev.txt').read() else 1)" 2>/dev/null; then
        log "installing pinned Python packages"
        CMAKE_POLICY_VERSION_MINIMUM=3.5 "$VENV/bin/pip" install -q --disable-pip-version-check -r requirements-dev.txt
        cp requirements-dev.txt "$VENV/.pins"
    fi
}

install_module() {
    # shellcheck source=scripts/compiler_cache.sh
    source "$ROOT/scripts/compiler_cache.sh"
    # One module build at a time in this work tree.
    exec 9>"$ROOT/build/.setup.lock"
    flock 9
    local prefix
    prefix="$(bash scripts/build_igraph_core.sh)"
    log "building and installing kovra_backends (igraph core at $prefix)"
    "$VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation \
        -C "cmake.define.KOVRA_IGRAPH_ROOT=$prefix" \
        -C "build-dir=$ROOT/build/{wheel_tag}" .
}

mkdir -p "$ROOT/build" "$KOVRA_CACHE_DIR"
# shellcheck disable=SC2086
apt_install setup $APT_PACKAGES
make_venv
install_module
log "ready"
