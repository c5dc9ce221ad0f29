// Sums over the basis states that share the bits at some positions: the
// probabilities of a few qubits out of many.
//
// Each sum adds its terms in index order, one at a time, so that it rounds
// exactly as the plain loop `out[keyOf(k)] += term(k)` does.
#pragma once

#include <algorithm>
#include <vector>

namespace key_sums {

// The bits of `index` at `positions`, the first position the top bit.
inline unsigned long keyOf(unsigned long index, const std::vector<unsigned long>& positions) {
    unsigned long key = 0;
    for (unsigned long p : positions) key = (key << 1) | ((index >> p) & 1);
    return key;
}

// out[keyOf(offset + k)] += term(k) for k from 0 to count - 1, in that order
// (`offset` a multiple of a power of two at least `count`).
template <class Term>
void sumByKey(unsigned long count, const std::vector<unsigned long>& positions, unsigned long offset,
              std::vector<double>& out, Term term) {
    // The key holds over runs of 2^lowest indices: a run's terms are added
    // in a register, not through memory (where every add would wait for the
    // previous one's store).
    unsigned long lowest = 63;
    for (unsigned long p : positions) lowest = std::min(lowest, p);
    const unsigned long run = std::min(count, 1UL << lowest);
    const auto sumRun = [&](double& sum, unsigned long first) {
        double acc = sum;
        const unsigned long end = std::min(count, first + run);
        for (unsigned long k = first; k < end; ++k) acc += term(k);
        sum = acc;
    };
    if (lowest >= 8) {
        for (unsigned long first = 0; first < count; first += run) sumRun(out[keyOf(offset | first, positions)], first);
        return;
    }
    // Shorter runs: the key of an index is its low byte's part (a table)
    // or'ed with the rest's, once per 256 indices.
    unsigned long low[256];
    for (unsigned long b = 0; b < 256; ++b) low[b] = keyOf(b, positions);
    for (unsigned long block = 0; block < count; block += 256) {
        const unsigned long high = keyOf(offset | block, positions);
        const unsigned long end = std::min(count, block + 256);
        for (unsigned long first = block; first < end; first += run) sumRun(out[high | low[first - block]], first);
    }
}

}  // namespace key_sums
