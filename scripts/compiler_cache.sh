# Sourced by the build scripts after ROOT is set. Where ccache is installed,
# every compile goes through it, keyed by paths relative to the work tree:
# a fresh clone of the same sources (CI's, a second worktree) reuses what an
# earlier build compiled instead of compiling the whole tree again.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
    export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
    # Debug info would otherwise tie each entry to the folder it was built in.
    export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
    # The release, test and sanitizer trees together take about 1.5 GB.
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
fi
