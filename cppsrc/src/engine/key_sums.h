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
    unsigned long lowest = 64;
    for (unsigned long p : positions) lowest = std::min(lowest, p);
    if (lowest >= 8) {
        // The key holds over runs of 2^lowest indices: a run's terms are
        // added in a register, not through memory (where every add would
        // wait for the previous store).
        const unsigned long run = lowest >= 63 ? count : std::min(count, 1UL << lowest);
        for (unsigned long block = 0; block < count; block += run) {
            double& sum = out[keyOf(offset | block, positions)];
            double acc = sum;
            const unsigned long end = std::min(count, block + run);
            for (unsigned long k = block; k < end; ++k) acc += term(k);
            sum = acc;
        }
        return;
    }
    // Else the key of an index is its low byte's part (a table) or'ed with
    // the rest's, once per 256 indices.
    unsigned long low[256];
    for (unsigned long b = 0; b < 256; ++b) low[b] = keyOf(b, positions);
    for (unsigned long block = 0; block < count; block += 256) {
        const unsigned long high = keyOf(offset | block, positions);
        const unsigned long end = std::min(count, block + 256);
        for (unsigned long k = block; k < end; ++k) out[high | low[k - block]] += term(k);
    }
}

}  // namespace key_sums
