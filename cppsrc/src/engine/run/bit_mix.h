// A 64-bit mix (splitmix64's finaliser): nearby inputs give unrelated
// outputs. Hashes of records and the fixed pseudo-random directions of
// branch signatures both draw from it, the same in every run.
#pragma once

#include <cstdint>

inline std::uint64_t bitMix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}
