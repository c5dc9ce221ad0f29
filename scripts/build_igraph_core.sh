#!/usr/bin/env bash
# Builds the igraph C core that kovra_backends links: the C sources of the
# igraph 0.9.11 source distribution (the one python-igraph 0.9.11 installs),
# static, position independent and with hidden symbols, so that it never
# clashes with python-igraph's own copy. The result is cached outside the
# work tree; the install prefix is printed on standard output.
set -euo pipefail
VERSION=0.9.11
CACHE="${KOVRA_CACHE_DIR:-$HOME/.cache/kovra_backends}"
PREFIX="$CACHE/igraph-$VERSION-pic-hidden"
complete() { [[ -f "$PREFIX/lib/libigraph.a" && -f "$PREFIX/.complete" ]]; }
if complete; then
    echo "$PREFIX"; exit 0
fi
# One build at a time per cache: setup.sh and test.sh, or two work trees
# sharing the cache, would otherwise extract into the same source directory
# and install into the same prefix at once. Whoever waited finds the core
# built when the lock comes free.
mkdir -p "$CACHE"
exec {lock_fd}>"$CACHE/igraph-$VERSION.lock"
if ! flock -n "$lock_fd"; then
    echo "[igraph] waiting for another build of the core ($CACHE/igraph-$VERSION.lock)" >&2
    flock "$lock_fd"
fi
if complete; then
    echo "$PREFIX"; exit 0
fi
WORK="$CACHE/src"
mkdir -p "$WORK"
cd "$WORK"
PIP="${PIP:-python3.11 -m pip}"
if [[ ! -f "igraph-$VERSION.tar.gz" ]]; then
    $PIP download -q --no-deps --no-binary :all: "igraph==$VERSION" -d . >&2
fi
rm -rf "igraph-$VERSION" build
tar xzf "igraph-$VERSION.tar.gz"
SRC="$WORK/igraph-$VERSION/vendor/source/igraph"
CMAKE="${CMAKE:-cmake}"
echo "[igraph] configuring $SRC" >&2
CMAKE_POLICY_VERSION_MINIMUM=3.5 $CMAKE -S "$SRC" -B build -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_C_VISIBILITY_PRESET=hidden -DCMAKE_CXX_VISIBILITY_PRESET=hidden \
    -DIGRAPH_USE_INTERNAL_ARPACK=ON -DIGRAPH_USE_INTERNAL_BLAS=ON \
    -DIGRAPH_USE_INTERNAL_CXSPARSE=ON -DIGRAPH_USE_INTERNAL_GLPK=ON \
    -DIGRAPH_USE_INTERNAL_GMP=ON -DIGRAPH_USE_INTERNAL_LAPACK=ON \
    -DIGRAPH_GRAPHML_SUPPORT=OFF -DIGRAPH_OPENMP_SUPPORT=OFF \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib >&2
echo "[igraph] building (about a minute on 2 cores)" >&2
$CMAKE --build build -j "$(nproc)" >&2
$CMAKE --install build >&2
touch "$PREFIX/.complete"
echo "$PREFIX"
