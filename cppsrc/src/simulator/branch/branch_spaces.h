// What a branch run's branches hold: a state vector, or a density matrix.
// The run (branch_run.h) settles, splits and joins branches the same way for
// both; these say how each kind of state is evolved, measured and read.
#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <vector>

#include "engine/fusion/compile_gate.h"
#include "engine/space/density_space.h"
#include "engine/fusion/gate_runs.h"
#include "engine/space/pauli_sums.h"
#include "engine/space/state_space.h"

namespace branch_run {

using state_space::state_vector;

// Pure branches: an unnormalised state vector each, its squared norm the
// branch's probability.
struct pure_states {
    static constexpr bool kTakesChannels = false;
    static constexpr const char* kKind = "state vector";
    // The bits of a branch's vector's index: what decides whether fusing
    // its gates pays.
    static unsigned long indexBits(unsigned long qubits) { return qubits; }

    static state_vector zero(unsigned long qubits) { return state_space::zeroState(qubits); }
    static std::vector<gates::compiled_gate> lift(std::vector<gates::compiled_gate> run, unsigned long) { return run; }
    static double weight(const state_vector& s, unsigned long) { return state_space::squaredNorm(s); }
    static std::vector<double> marginal(const state_vector& s, unsigned long, const std::vector<unsigned long>& positions) {
        return state_space::marginal(s, positions);
    }
    static std::vector<double> probabilities(const state_vector& s, unsigned long) {
        return state_space::probabilities(s);
    }
    static void zeroPart(state_vector& s, unsigned long, unsigned long position, bool one) {
        state_space::zeroPart(s, 1UL << position, one);
    }
    static void flipBit(state_vector& s, unsigned long, unsigned long position) {
        state_space::flipBit(s, 1UL << position);
    }
    // The branch's weight multiplied by `factor`.
    static void weigh(state_vector& s, double factor) {
        const double scale = std::sqrt(factor);
        for (auto& a : s) a *= scale;
    }
    // Two pure branches of one record are one branch when their states are
    // proportional (|<a|b>|^2 = |a|^2 |b|^2 to rounding): `kept` is then
    // scaled to carry both weights.
    static bool join(state_vector& kept, double keptWeight, const state_vector& other, double otherWeight);
    // A number that states proportional to each other share (to rounding)
    // and others almost never do: where to look for the branch to join.
    static double signature(const state_vector& s);
    static std::vector<double> expectations(const state_vector& s, unsigned long,
                                            const std::vector<pauli_sums::observable>& observables,
                                            const gates::keep_going& keepGoing) {
        return pauli_sums::expectations(s, observables, keepGoing);
    }
};

// Mixed branches: an unnormalised density matrix each (density_space.h),
// its trace the branch's probability. Branches of one record always join:
// their mixture is their sum.
struct density_states {
    static constexpr bool kTakesChannels = true;
    static constexpr const char* kKind = "density matrix";
    static unsigned long indexBits(unsigned long qubits) { return 2 * qubits; }

    static state_vector zero(unsigned long qubits) { return density_space::zeroState(qubits); }
    static std::vector<gates::compiled_gate> lift(const std::vector<gates::compiled_gate>& run, unsigned long qubits) {
        return density_space::doubled(run, qubits);
    }
    static double weight(const state_vector& s, unsigned long qubits) { return density_space::trace(s, qubits); }
    static std::vector<double> marginal(const state_vector& s, unsigned long qubits,
                                        const std::vector<unsigned long>& positions) {
        return density_space::marginal(s, qubits, positions);
    }
    static std::vector<double> probabilities(const state_vector& s, unsigned long qubits) {
        return density_space::diagonal(s, qubits);
    }
    static void zeroPart(state_vector& s, unsigned long qubits, unsigned long position, bool one) {
        density_space::zeroPart(s, qubits, position, one);
    }
    static void flipBit(state_vector& s, unsigned long qubits, unsigned long position) {
        density_space::flipBit(s, qubits, position);
    }
    static void weigh(state_vector& s, double factor) {
        for (auto& a : s) a *= factor;
    }
    static bool join(state_vector& kept, double, const state_vector& other, double);
    // Any two join: one signature for all.
    static double signature(const state_vector&) { return 0; }
    static std::vector<double> expectations(const state_vector& s, unsigned long qubits,
                                            const std::vector<pauli_sums::observable>& observables,
                                            const gates::keep_going& keepGoing) {
        return density_space::expectations(s, qubits, observables, keepGoing);
    }
};

}  // namespace branch_run
