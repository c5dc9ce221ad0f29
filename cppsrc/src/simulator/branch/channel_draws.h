// How a trajectory draws from a channel without looking at the state
// where the channel allows it.
//
// A Kraus operator proportional to a unitary (K^dagger K = c I) is drawn
// with the fixed probability c whatever the state; so is the remainder of
// a trace-keeping channel as a whole (1 minus the sum of those c). A Pauli
// channel (a diagonal chi matrix in the Pauli basis, however its Kraus
// operators were mixed, as an eigendecomposition mixes a depolarizing
// channel's) is rewritten as its Pauli strings first: its every draw is
// then state-free, and the drawn string is a few X, Y and Z gates that fuse
// with the gates around them. Only a draw that lands in the remainder reads
// the state (the reduced density matrix of the channel's qubits).
#pragma once

#include <complex>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "engine/kernels/fused_matrix.h"
#include "ir/gates.h"
#include "ir/program.h"

namespace channel_draws {

using matrix = std::vector<std::complex<double>>;

// A drawn operator of fixed probability: `unitary` (normalised), or, when
// `isPauli`, the string `paulis` (one catalogue gate per listed qubit,
// GATE_I where the string holds the identity), equal to `unitary` up to a
// global phase.
struct fixed_term {
    double weight = 0;
    matrix unitary;
    bool isPauli = false;
    std::vector<GATE_INDEX> paulis;
};

struct drawn_channel {
    std::vector<fixed_term> fixed;  // in the order they are drawn
    double fixedTotal = 0;          // the sum of their weights
    // The operators whose probabilities depend on the state, as given (the
    // remainder: together they have probability 1 - fixedTotal).
    std::vector<matrix> rest;
};

// The channel split as above; every operator lands in `rest` when the
// operators do not keep the trace to rounding (the draw then reads the
// state for all of them, as exactly as before).
drawn_channel split(const program::kraus_channel& channel);

// A channel where a sub-circuit applies it: its split and each fixed
// term's operator on the channel's bit positions, made once.
struct placed_channel {
    drawn_channel drawn;
    std::vector<std::unique_ptr<gates::fused_matrix>> fixed;  // per fixed term
    std::vector<unsigned long> positions;                    // of the listed qubits
};

// Every channel of a sub-circuit, split and placed once for all the
// trajectories that run it (read by many threads at once).
class draw_table {
public:
    explicit draw_table(const program::sub_circuit& sub);
    // The channel of `op` (a channel op of the sub-circuit).
    const placed_channel& at(const program::op& op) const;

private:
    std::map<std::pair<const program::kraus_channel*, std::vector<unsigned long>>, placed_channel> entries_;
};

}  // namespace channel_draws
