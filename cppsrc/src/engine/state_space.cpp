#include "engine/state_space.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/gate_runs.h"
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

namespace {

// The bits of `index` at `positions`, the first position the top bit.
unsigned long keyOf(unsigned long index, const std::vector<unsigned long>& positions) {
    unsigned long key = 0;
    for (unsigned long p : positions) key = (key << 1) | ((index >> p) & 1);
    return key;
}

}  // namespace

std::vector<double> marginal(const state_vector& state, const std::vector<unsigned long>& positions, double floor,
                             unsigned long offset) {
    std::vector<double> out(std::size_t(1) << positions.size(), 0.0);
    // The key of an index is its low byte's part (a table) or'ed with the
    // rest's, once per 256 indices.
    unsigned long low[256];
    for (unsigned long b = 0; b < 256; ++b) low[b] = keyOf(b, positions);
    for (unsigned long block = 0; block < state.size(); block += 256) {
        const unsigned long high = keyOf(offset | block, positions);
        const unsigned long end = std::min<unsigned long>(state.size(), block + 256);
        for (unsigned long k = block; k < end; ++k) {
            const double p = squaredMagnitude(state[k]);
            if (std::fabs(p) > floor) out[high | low[k - block]] += p;
        }
    }
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
