// Applying a fused matrix to the amplitudes of one tile of a cache-blocked
// run. Not bit-exact by design: the AVX2 path multiplies and adds with FMA,
// and a fused matrix rounds differently from its gates applied one by one.
#pragma once

#include <complex>

#include "engine/kernels/fused_matrix.h"

namespace gates {

// The tile is `count` segments of `length` contiguous amplitudes.
// `lowPositions` are the matrix's positions inside a segment, `highPositions`
// its positions as bits of the segment number; together they are all of the
// matrix's positions, the low ones being the lowest. Uses AVX2 and FMA when
// the CPU has them.
void applyFusedToTile(std::complex<double>* const* segments, unsigned long count, unsigned long length,
                      unsigned long lowPositions, unsigned long highPositions, const fused_matrix& m);

// The same on single-precision amplitudes with the matrix's float entries
// (fused_matrix::singleRows): a register holds the same amplitude of four
// groups with AVX2, eight with AVX-512 (fused_kernels_single.cpp).
void applyFusedToTile(std::complex<float>* const* segments, unsigned long count, unsigned long length,
                      unsigned long lowPositions, unsigned long highPositions, const fused_matrix& m);

// The largest fused matrix the kernels take, in qubits.
constexpr unsigned MAX_FUSED_QUBITS = 5;

}  // namespace gates
