#include "engine/state_space.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/gate_runs.h"
#include "engine/key_sums.h"
#include "engine/large_vectors.h"
#include "engine/share_out.h"

namespace state_space {

state_vector zeroState(unsigned long qubits) {
    // 2^n sixteen-byte amplitudes must fit the address space.
    if (qubits >= 60) throw std::length_error("too many qubits for a state vector");
    state_vector state = large_vectors::filled(std::size_t(1) << qubits, state_vector::value_type());
    state[0] = 1.0;
    return state;
}

std::vector<double> probabilities(const state_vector& state) {
    std::vector<double> out = large_vectors::filled(state.size(), 0.0);
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k) out[k] = squaredMagnitude(state[k]);
    });
    return out;
}

std::vector<double> marginal(const state_vector& state, const std::vector<unsigned long>& positions, double floor,
                             unsigned long offset) {
    std::vector<double> out(std::size_t(1) << positions.size(), 0.0);
    key_sums::sumByKey(state.size(), positions, offset, out, [&](unsigned long k) {
        const double p = squaredMagnitude(state[k]);
        return std::fabs(p) > floor ? p : 0.0;  // probabilities: adding +0 changes no sum
    });
    return out;
}

double squaredNorm(const state_vector& state) {
    double sum = 0.0;
    for (const auto& a : state) sum += squaredMagnitude(a);
    return sum;
}

void normalise(state_vector& state) { divideBy(state, std::sqrt(squaredNorm(state))); }

void divideBy(state_vector& state, double norm) {
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k)
            state[k] = std::complex<double>(state[k].real() / norm, state[k].imag() / norm);
    });
}

}  // namespace state_space
