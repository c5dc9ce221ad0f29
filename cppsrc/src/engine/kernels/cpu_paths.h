// Which instruction set the kernels use: the widest this CPU runs, unless
// the environment variable KOVRA_KERNELS asks for a lower one ("plain" for
// the loops any x86-64 runs, "avx2" for AVX2 with FMA, "avx512" for
// AVX-512F and DQ besides), so that every path can be run, and compared, on
// one machine. The AVX-512 path widens the dense fused products, the bulk of
// a fused run's arithmetic; every other kernel takes AVX2 on it. A path the CPU lacks, or an
// unknown name, gives the widest path the CPU has. Read once per process.
#pragma once

namespace cpu_paths {

enum class path { plain, avx2, avx512 };

path chosen();

// The name of a path, as KOVRA_KERNELS spells it.
const char* name(path p);

inline bool avx2() { return chosen() != path::plain; }
inline bool avx512() { return chosen() == path::avx512; }

}  // namespace cpu_paths
