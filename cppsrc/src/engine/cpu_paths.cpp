#include "engine/cpu_paths.h"

#include <cstdlib>
#include <cstring>

namespace cpu_paths {

namespace {

path widest() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? path::avx2 : path::plain;
}

path from_environment() {
    const path best = widest();
    const char* asked = std::getenv("KOVRA_KERNELS");
    if (asked == nullptr) return best;
    if (std::strcmp(asked, "plain") == 0) return path::plain;
    return best;  // "avx2" where the CPU has it, and anything else
}

}  // namespace

path chosen() {
    static const path p = from_environment();
    return p;
}

const char* name(path p) { return p == path::avx2 ? "avx2" : "plain"; }

}  // namespace cpu_paths
