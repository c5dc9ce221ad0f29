// The density matrix as storage: rho on n qubits held as one vector of 4^n
// amplitudes, so that the state vector's cache-blocked runs, fusion and
// kernels evolve it unchanged.
//
// rho[r][c] sits at index r * 2^n + c: row qubit q at bit position
// 2n - 1 - q, column qubit q at n - 1 - q. For that (row-major) layout
// vec(U rho U^dagger) = (U (x) conj(U)) vec(rho), so a gate U becomes U on
// the row positions and conj(U) on the column positions, and a channel with
// Kraus operators K_k becomes sum_k K_k (x) conj(K_k) on both: one more
// matrix on a few positions of the vector. The probabilities are the
// diagonal.
#pragma once

#include <array>
#include <complex>
#include <functional>
#include <memory>
#include <vector>

#include "engine/fusion/compile_gate.h"
#include "engine/space/pauli_sums.h"
#include "engine/space/state_space.h"

namespace density_space {

using state_space::state_vector;
using kraus_operators = std::vector<std::vector<std::complex<double>>>;

// Registers above this size would take more than 4^16 amplitudes (16 GiB).
constexpr unsigned long kMaxQubits = 16;

// |0...0><0...0| on `qubits` qubits.
state_vector zeroState(unsigned long qubits);

// The gate with its entries conjugated: conj(U) on the same positions.
gates::compiled_gate conjugated(const gates::compiled_gate& g);

// The gates of a run on `qubits` qubits as the same evolution of rho: each
// U on the row positions, then conj(U) on the column positions.
std::vector<gates::compiled_gate> doubled(const std::vector<gates::compiled_gate>& run, unsigned long qubits);

// The channel on register qubits `on` (the first the top bit of the
// operators' row numbers) of a `qubits`-qubit rho, as a matrix on its row and
// column positions, ready for the fused kernels.
std::unique_ptr<gates::fused_matrix> superoperator(const kraus_operators& kraus, const std::vector<unsigned long>& on,
                                                   unsigned long qubits);

// Tr rho, summed in index order of the diagonal.
double trace(const state_vector& rho, unsigned long qubits);
// rho[i][i] for every basis state i.
std::vector<double> diagonal(const state_vector& rho, unsigned long qubits);
// The diagonal summed over all but `positions` (bit positions of an
// n-qubit basis index, the first listed the key's top bit).
std::vector<double> marginal(const state_vector& rho, unsigned long qubits, const std::vector<unsigned long>& positions);

// P rho P for the projector P onto the outcome of the qubit at bit
// `position` other than `one`: the block of the other outcome, unnormalised.
void zeroPart(state_vector& rho, unsigned long qubits, unsigned long position, bool one);
// X rho X on the qubit at bit `position`.
void flipBit(state_vector& rho, unsigned long qubits, unsigned long position);

// Tr(rho O) / Tr(rho) for each observable (terms on bit positions of an
// n-qubit basis index). `keepGoing`, when given, is asked between terms;
// false stops the sums with run_stopped (run_stopped.h).
std::vector<double> expectations(const state_vector& rho, unsigned long qubits,
                                 const std::vector<pauli_sums::observable>& observables,
                                 const std::function<bool()>& keepGoing = {});

}  // namespace density_space
