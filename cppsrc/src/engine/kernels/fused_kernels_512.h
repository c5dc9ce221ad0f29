// The dense and sparse fused products with AVX-512: a register holds the
// same amplitude of four groups, twice the AVX2 kernels' two. The
// arithmetic is theirs, operation for operation (the same FMA chains over
// the columns, in the same order), so both paths give the same bits.
#pragma once

#include <complex>

#include "engine/kernels/fused_matrix.h"

namespace gates::wide512 {

// Applies the dense matrix `m` to every group of one segment set: the c-th
// amplitude of the group at offset x is ptr[c][x], for each x below
// `length` with every bit of `skip` clear. `skip` holds `lane` and `lane2`,
// the two lowest bits the matrix leaves alone, which pick the four groups
// of a register (x, x + lane, x + lane2, x + lane + lane2).
void dense(std::complex<double>* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
           unsigned long lane2, const fused_matrix& m);

// The same for a sparse matrix: m.rowWidth entries per row, at m.columns.
void sparse(std::complex<double>* const* ptr, unsigned long length, unsigned long skip, unsigned long lane,
            unsigned long lane2, const fused_matrix& m);

}  // namespace gates::wide512
