// A small operator (a Kraus operator, a superoperator) on a few bit
// positions of a vector, as a step the fused kernels apply, and the
// reduced density matrix of a few positions of a state vector: what a
// channel needs beside the gates.
#pragma once

#include <complex>
#include <memory>
#include <vector>

#include "engine/kernels/fused_matrix.h"
#include "engine/space/state_space.h"

namespace gates {

// `matrix` (2^m by 2^m, row-major) acting on the bit positions `positions`,
// the first listed the top bit of its row and column numbers.
std::unique_ptr<fused_matrix> operatorOn(const std::vector<std::complex<double>>& matrix,
                                         const std::vector<unsigned long>& positions);

// The reduced density matrix of the bit positions `positions` (the first the
// top bit), unnormalised: G[r][c] = sum over the other bits of a_r conj(a_c).
// Its trace is the vector's squared norm.
std::vector<std::complex<double>> reducedDensity(const state_space::state_vector& state,
                                                 const std::vector<unsigned long>& positions);

}  // namespace gates
