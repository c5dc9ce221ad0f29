// Bit tricks on basis indices and masks of bit positions, shared by the
// cache-blocked runs, the fuser and the fused kernels.
#pragma once

namespace gates {

inline unsigned long lowestBit(unsigned long x) { return x & (~x + 1); }

inline int popcount(unsigned long x) { return __builtin_popcountl(x); }

// Spreads the bits of `value` over the set bits of `mask`, lowest first.
inline unsigned long deposit(unsigned long value, unsigned long mask) {
    unsigned long out = 0;
    for (unsigned long m = mask; m && value; m &= m - 1, value >>= 1)
        if (value & 1) out |= lowestBit(m);
    return out;
}

// The inverse of deposit: gathers the bits of `value` at the set bits of
// `mask` into the low bits, lowest first.
inline unsigned long compress(unsigned long value, unsigned long mask) {
    unsigned long out = 0;
    int k = 0;
    for (unsigned long m = mask; m; m &= m - 1, ++k)
        if (value & lowestBit(m)) out |= 1UL << k;
    return out;
}

// The next number above x with every bit of `skip` clear (x has them clear):
// walks the indices a gate's groups start at.
inline unsigned long nextClear(unsigned long x, unsigned long skip) { return ((x | skip) + 1) & ~skip; }

}  // namespace gates
