#include "engine/kernels/cpu_paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace cpu_paths {

namespace {

path widest() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return path::plain;
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") ? path::avx512 : path::avx2;
}

path from_environment() {
    const path best = widest();
    const char* asked = std::getenv("KOVRA_KERNELS");
    if (asked == nullptr) return best;
    if (std::strcmp(asked, "plain") == 0) return path::plain;
    if (std::strcmp(asked, "avx2") == 0) return std::min(best, path::avx2);
    return best;  // "avx512" where the CPU has it, and anything else
}

}  // namespace

path chosen() {
    static const path p = from_environment();
    return p;
}

const char* name(path p) {
    switch (p) {
        case path::avx512: return "avx512";
        case path::avx2: return "avx2";
        default: return "plain";
    }
}

}  // namespace cpu_paths
