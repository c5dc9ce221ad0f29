#include "engine/space/state_space.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/fusion/gate_runs.h"
#include "engine/space/key_sums.h"
#include "engine/parallel/large_vectors.h"
#include "engine/parallel/share_out.h"

namespace state_space {

namespace {
// Above this, 2^n amplitudes of sixteen bytes no longer fit the address space.
constexpr unsigned long MAX_QUBITS = 60;
}  // namespace

template <class T>
amplitudes<T> zeroStateOf(unsigned long qubits) {
    // 2^n amplitudes of up to sixteen bytes must fit the address space.
    if (qubits >= MAX_QUBITS) throw std::length_error("too many qubits for a state vector");
    const std::size_t size = std::size_t(1) << qubits;
    amplitudes<T> state = large_vectors::filled(size, std::complex<T>(), gates::workerCount(size));
    state[0] = 1.0;
    return state;
}

template <class T>
std::vector<double> probabilities(const amplitudes<T>& state) {
    std::vector<double> out = large_vectors::filled(state.size(), 0.0, gates::workerCount(state.size()));
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k) out[k] = squaredMagnitude(state[k]);
    });
    return out;
}

template <class T>
std::vector<double> marginal(const amplitudes<T>& state, const std::vector<unsigned long>& positions,
                             unsigned long offset) {
    std::vector<double> out(std::size_t(1) << positions.size(), 0.0);
    key_sums::sumByKey(state.size(), positions, offset, out,
                       [&](unsigned long k) { return squaredMagnitude(state[k]); });
    return out;
}

void zeroPart(state_vector& state, unsigned long mask, bool one) {
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k)
            if (((k & mask) != 0) == one) state[k] = 0.0;
    });
}

void flipBit(state_vector& state, unsigned long mask) {
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k)
            if ((k & mask) == 0) std::swap(state[k], state[k | mask]);
    });
}

namespace {

// Adds sums of consecutive equal parts as the tree does: each new part is
// added to the part before it once their pair is complete, so every sum is
// (left half) + (right half). Parts left over (a count that is no power of
// two) are then added from the first on.
class tree_adder {
public:
    void add(double part) {
        for (unsigned long k = count++; k & 1; k >>= 1) part = pending[--depth] + part;
        pending[depth++] = part;
    }
    double total() const {
        double sum = depth > 0 ? pending[0] : 0.0;
        for (unsigned k = 1; k < depth; ++k) sum += pending[k];
        return sum;
    }

private:
    double pending[64] = {};
    unsigned depth = 0;
    unsigned long count = 0;
};

template <class T>
double treeNorm(const amplitudes<T>& state, unsigned long begin, unsigned long end) {
    tree_adder sums;
    for (unsigned long leaf = begin; leaf < end; leaf += NORM_LEAF) {
        double sum = 0.0;
        for (unsigned long k = leaf; k < std::min(end, leaf + NORM_LEAF); ++k) sum += squaredMagnitude(state[k]);
        sums.add(sum);
    }
    return sums.total();
}

}  // namespace

template <class T>
double squaredNorm(const amplitudes<T>& state) {
    const unsigned long size = state.size();
    // Equal aligned parts of a power-of-two vector are whole subtrees: the
    // threads sum one part each and the parts' sums are added as the tree.
    unsigned long parts = 1;
    while (parts * 2 <= gates::workerCount(size) && size % (parts * 2) == 0 && size / (parts * 2) >= NORM_LEAF)
        parts *= 2;
    std::vector<double> sums(parts, 0.0);
    gates::shareOut(parts, static_cast<unsigned>(parts), [&](unsigned long first, unsigned long last) {
        for (unsigned long p = first; p < last; ++p)
            sums[p] = treeNorm(state, p * (size / parts), (p + 1) * (size / parts));
    });
    return combineSums(sums);
}

double combineSums(const std::vector<double>& parts) {
    tree_adder sums;
    for (double part : parts) sums.add(part);
    return sums.total();
}

template <class T>
void normalise(amplitudes<T>& state) {
    divideBy(state, std::sqrt(squaredNorm(state)));
}

template <class T>
void divideBy(amplitudes<T>& state, double norm) {
    gates::shareOut(state.size(), gates::workerCount(state.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k)
            state[k] = std::complex<T>(static_cast<T>(state[k].real() / norm), static_cast<T>(state[k].imag() / norm));
    });
}

// Both precisions, built here once.
#define KOVRA_STATE_SPACE(T)                                                                            \
    template amplitudes<T> zeroStateOf<T>(unsigned long);                                               \
    template std::vector<double> probabilities<T>(const amplitudes<T>&);                                \
    template std::vector<double> marginal<T>(const amplitudes<T>&, const std::vector<unsigned long>&,   \
                                             unsigned long);                                            \
    template double squaredNorm<T>(const amplitudes<T>&);                                               \
    template void normalise<T>(amplitudes<T>&);                                                         \
    template void divideBy<T>(amplitudes<T>&, double);
KOVRA_STATE_SPACE(double)
KOVRA_STATE_SPACE(float)
#undef KOVRA_STATE_SPACE

}  // namespace state_space
