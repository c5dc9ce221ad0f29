// What the fused kernels of both precisions share: where the groups of a
// tile's segment sets lie, and the plain loops any x86-64 runs.
#pragma once

#include <complex>

#include "engine/kernels/bit_positions.h"
#include "engine/kernels/fused_kernels.h"

namespace gates {

// Where the 2^k amplitudes of the groups of one segment set start, and how
// to walk the groups: a group's amplitudes sit at ptr[c] + x for each x the
// walk visits.
template <class T>
struct group_walk {
    std::complex<T>* ptr[1UL << MAX_FUSED_QUBITS];
    unsigned long length;  // amplitudes per segment
    unsigned long skip;    // offset bits x keeps clear
};

// Where the groups a register holds lie (fused_walks.inc): one run of
// `slots` amplitudes, two runs of half as many, four of a quarter, or each
// on its own (any lanes: the fallback every register has). Or `paired`: the
// matrix holds bit 0 and its lanes are the bits above, so that the
// registers of two neighbouring columns are two runs of `slots` amplitudes,
// interleaved.
enum layout { together, halves, quarters, apart, paired };

// Calls apply(w) for each segment set of a tile that a matrix on
// `lowPositions` (inside a segment) and `highPositions` (bits of the segment
// number) covers, with w.ptr set to the set's columns; w.length and w.skip
// are the caller's.
template <class T, class Apply>
void forEachSegmentSet(std::complex<T>* const* segments, unsigned long count, unsigned long lowPositions,
                       unsigned long highPositions, unsigned long dimension, group_walk<T>& w, Apply apply) {
    const int lowCount = popcount(lowPositions);
    const unsigned long lowValues = (1UL << lowCount) - 1;
    for (unsigned long j = 0; j < count; ++j) {
        if (j & highPositions) continue;
        for (unsigned long c = 0; c < dimension; ++c)
            w.ptr[c] = segments[j | deposit(c >> lowCount, highPositions)] + deposit(c & lowValues, lowPositions);
        apply(w);
    }
}

// One group at a time, in plain arithmetic of the amplitudes' precision;
// `u` is the whole matrix, row-major.
namespace generic {

template <class T>
void dense(const group_walk<T>& w, unsigned long d, const std::complex<T>* u) {
    using c = std::complex<T>;
    c in[1UL << MAX_FUSED_QUBITS];
    for (unsigned long x = 0; x < w.length; x = nextClear(x, w.skip)) {
        for (unsigned long k = 0; k < d; ++k) in[k] = w.ptr[k][x];
        for (unsigned long r = 0; r < d; ++r) {
            T re = 0, im = 0;
            for (unsigned long k = 0; k < d; ++k) {
                const c a = in[k], b = u[r * d + k];
                re += a.real() * b.real() - a.imag() * b.imag();
                im += a.real() * b.imag() + a.imag() * b.real();
            }
            w.ptr[r][x] = c(re, im);
        }
    }
}

template <class T>
void diagonal(const group_walk<T>& w, unsigned long d, const std::complex<T>* u) {
    using c = std::complex<T>;
    for (unsigned long x = 0; x < w.length; x = nextClear(x, w.skip))
        for (unsigned long k = 0; k < d; ++k) {
            const c a = w.ptr[k][x], b = u[k * d + k];
            w.ptr[k][x] = c(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
        }
}

}  // namespace generic

}  // namespace gates
