// Which instruction set the kernels use: the widest this CPU runs, unless
// the environment variable KOVRA_KERNELS asks for a lower one ("plain" for
// the loops any x86-64 runs, "avx2" for AVX2 with FMA), so that every path
// can be run, and compared, on one machine. A path the CPU lacks, or an
// unknown name, gives the widest path the CPU has. Read once per process.
#pragma once

namespace cpu_paths {

enum class path { plain, avx2 };

path chosen();

// The name of a path, as KOVRA_KERNELS spells it.
const char* name(path p);

inline bool avx2() { return chosen() == path::avx2; }

}  // namespace cpu_paths
