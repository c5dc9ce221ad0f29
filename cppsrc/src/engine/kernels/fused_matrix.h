// A dense unitary on a few bit positions: the product of consecutive gates
// that the fuser merged, as the fused kernels apply it.
#pragma once

#include <complex>
#include <vector>

namespace gates {

struct fused_matrix {
    // The bit positions it acts on; the i-th lowest is bit i of a row or
    // column number.
    unsigned long positions = 0;
    unsigned qubits = 0;
    // Only the diagonal is non-zero (phases, Z, Rz, ZCON...): applied as
    // one product per amplitude, without moving any.
    bool diagonal = false;
    // Row-major, 2^qubits by 2^qubits.
    std::vector<std::complex<double>> entries;
    // Entries per row the kernels multiply by: dimension() when dense, a
    // smaller power of two for products of permutations, phases and few
    // mixing gates (rows with fewer are padded with zero factors).
    unsigned rowWidth = 0;
    // The column of each multiplied entry, rowWidth per row (sparse only;
    // dense rows take every column in order).
    std::vector<unsigned> columns;
    // Each multiplied entry, in the order of `columns` (dense: row-major),
    // as the AVX2 kernels use it: eight doubles, the real part four times,
    // then the imaginary part four times. Prepared once, not per tile.
    std::vector<double> wide;
    // For single-precision runs, the entries rounded to float once
    // (roundToSingle): `singleEntries` row-major as `entries`,
    // `singleRows` one per multiplied entry in the order of `columns` (dense:
    // row-major). Empty in double-precision runs.
    std::vector<std::complex<float>> singleEntries;
    std::vector<std::complex<float>> singleRows;

    bool dense() const { return rowWidth == dimension(); }
    unsigned long dimension() const { return 1UL << qubits; }
};

// Fills in what the fused kernels multiply by (rowWidth, columns, wide)
// from the entries of a matrix.
void prepareRows(fused_matrix& m);
// Fills in the float entries of a prepared matrix, for single precision.
void roundToSingle(fused_matrix& m);

}  // namespace gates
