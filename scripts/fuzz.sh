#!/usr/bin/env bash
# Long fuzzing runs.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#       Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan)
#       into build/fuzz and runs each named target (default: all) for SECONDS
#       (default 600) at low priority on one job. The growing corpus lives in
#       build/fuzz/corpus/<target>, seeded from tests/fuzz/corpus; crash
#       reproducers land in build/fuzz/artifacts. Exits non-zero when a target
#       found something. Summary lines (runs, coverage) go to
#       build/fuzz/<target>.log.
#   bash scripts/fuzz.sh --coverage
#       Source line and branch coverage of the reader and reply-handling
#       sources reached by the corpora in build/fuzz/corpus (after a run),
#       from a separate build in build/fuzz-cov.
#   bash scripts/fuzz.sh --hypothesis [EXAMPLES]
#       The long property-based run of the graph-input tests: EXAMPLES cases
#       per property (default 20000) instead of CI's bounded budget.
#
# Environment: KOVRA_VENV (default .venv), JOBS (build jobs, default 1).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="${KOVRA_VENV:-$ROOT/.venv}"

if [[ "${1:-}" == "--hypothesis" ]]; then
    export KOVRA_FUZZ_EXAMPLES="${2:-20000}"
    export KOVRA_VENV="$VENV"
    bash scripts/dev_build.sh
    PYTHONPATH=build/dev/python exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider \
        --hypothesis-show-statistics \
        tests/python/test_fuzz_graph.py tests/python/test_reliability_device.py
fi

SECONDS_EACH="${1:-600}"
shift || true

# clang and its runtime libraries (libFuzzer, sanitizers), from Debian.
source "$ROOT/scripts/apt_packages.sh"
apt_install fuzz clang libclang-rt-14-dev nlohmann-json3-dev
CMAKE="$(command -v cmake || echo "$VENV/bin/cmake")"
[[ -x "$VENV/bin/cmake" ]] && CMAKE="$VENV/bin/cmake"
GEN=()
if command -v ninja >/dev/null || [[ -x "$VENV/bin/ninja" ]]; then
    GEN=(-G Ninja)
    export PATH="$VENV/bin:$PATH"
fi

OUT="$ROOT/build/fuzz"
COVERAGE=OFF
if [[ "${SECONDS_EACH}" == "--coverage" ]]; then
    COVERAGE=ON
    OUT="$ROOT/build/fuzz-cov"
fi
if [[ ! -f "$OUT/CMakeCache.txt" ]]; then
    "$CMAKE" -S tests/fuzz -B "$OUT" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKOVRA_FUZZ_COVERAGE=$COVERAGE \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
"$CMAKE" --build "$OUT" -j "${JOBS:-1}"


# Target name -> seed directory.
declare -A SEEDS=([fuzz_gate_json]=gate [fuzz_layer_json]=layer [fuzz_circuit_json]=circuit
                  [fuzz_device_reply]=device_reply)
if [[ "$COVERAGE" == ON ]]; then
    profiles=()
    objects=()
    for t in fuzz_gate_json fuzz_layer_json fuzz_circuit_json fuzz_device_reply; do
        [[ -x "$OUT/$t" && -d "$ROOT/build/fuzz/corpus/$t" ]] || continue
        LLVM_PROFILE_FILE="$OUT/$t.profraw" "$OUT/$t" -runs=0 "$ROOT/build/fuzz/corpus/$t" \
            "tests/fuzz/corpus/${SEEDS[$t]}" >/dev/null 2>&1
        profiles+=("$OUT/$t.profraw")
        objects+=(-object "$OUT/$t")
    done
    llvm-profdata merge -sparse "${profiles[@]}" -o "$OUT/all.profdata"
    llvm-cov report "${objects[@]:1}" -instr-profile="$OUT/all.profdata" \
        "$ROOT/tests/cpp/reference/simple_json.cpp" "$ROOT/cppsrc/src/ir/circuit_json.cpp" \
        "$ROOT/tests/cpp/reference/circuit_json_reader.cpp" \
        $( [[ -f "$ROOT/cppsrc/src/nmr/device_client.cpp" ]] && echo "$ROOT/cppsrc/src/nmr/device_client.cpp" )
    exit 0
fi

targets=("$@")
if ((${#targets[@]} == 0)); then
    for t in fuzz_gate_json fuzz_layer_json fuzz_circuit_json fuzz_device_reply; do
        [[ -x "$OUT/$t" ]] && targets+=("$t")
    done
fi

status=0
mkdir -p "$OUT/artifacts"
for t in "${targets[@]}"; do
    corpus="$OUT/corpus/$t"
    mkdir -p "$corpus"
    dict=()
    [[ "$t" == fuzz_device_reply ]] && dict=(-dict=tests/fuzz/reply.dict) || dict=(-dict=tests/fuzz/json.dict)
    echo "[fuzz] $t for ${SECONDS_EACH}s"
    if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0" UBSAN_OPTIONS="print_stacktrace=1" \
        nice -n 19 "$OUT/$t" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$t-" "${dict[@]}" \
            "$corpus" "tests/fuzz/corpus/${SEEDS[$t]}" >"$OUT/$t.log" 2>&1; then
        echo "[fuzz] $t: $(grep -E '^#[0-9]+.*(DONE|pulse)' "$OUT/$t.log" | tail -1)"
    else
        status=1
        echo "[fuzz] $t FOUND A FAULT; see $OUT/$t.log and $OUT/artifacts"
        grep -E 'ERROR|SUMMARY|deadly' "$OUT/$t.log" | head -5 || true
    fi
done
exit $status
