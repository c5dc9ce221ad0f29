#include "engine/space/local_operator.h"

#include "engine/kernels/fused_matrix.h"

namespace gates {

namespace {

// The row number a matrix of the listed positions reads off `index` (bits
// at the positions of the fused matrix's own order, ascending).
unsigned long listedNumber(unsigned long index, const std::vector<unsigned long>& rankOf) {
    const unsigned long m = rankOf.size();
    unsigned long value = 0;
    for (unsigned long j = 0; j < m; ++j) value |= ((index >> rankOf[j]) & 1) << (m - 1 - j);
    return value;
}

}  // namespace

std::unique_ptr<fused_matrix> operatorOn(const std::vector<std::complex<double>>& matrix,
                                         const std::vector<unsigned long>& positions) {
    auto out = std::make_unique<fused_matrix>();
    for (unsigned long p : positions) out->positions |= 1UL << p;
    out->qubits = static_cast<unsigned>(positions.size());
    // Listed position j is bit rankOf[j] of the fused matrix's numbers.
    std::vector<unsigned long> rankOf;
    for (unsigned long p : positions)
        rankOf.push_back(static_cast<unsigned long>(__builtin_popcountl(out->positions & ((1UL << p) - 1))));
    const unsigned long d = out->dimension();
    out->entries.assign(d * d, 0.0);
    for (unsigned long r = 0; r < d; ++r)
        for (unsigned long c = 0; c < d; ++c)
            out->entries[r * d + c] = matrix[listedNumber(r, rankOf) * d + listedNumber(c, rankOf)];
    prepareRows(*out);
    return out;
}

std::vector<std::complex<double>> reducedDensity(const state_space::state_vector& state,
                                                 const std::vector<unsigned long>& positions) {
    const unsigned long m = positions.size(), d = 1UL << m;
    unsigned long mask = 0;
    std::vector<unsigned long> offset(d, 0);  // the index bits of local number k
    for (unsigned long k = 0; k < d; ++k)
        for (unsigned long j = 0; j < m; ++j)
            if ((k >> (m - 1 - j)) & 1) offset[k] |= 1UL << positions[j];
    for (unsigned long p : positions) mask |= 1UL << p;
    std::vector<std::complex<double>> out(d * d, 0.0);
    std::vector<std::complex<double>> group(d);
    for (unsigned long base = 0; base < state.size(); ++base) {
        if (base & mask) continue;
        for (unsigned long k = 0; k < d; ++k) group[k] = state[base | offset[k]];
        for (unsigned long r = 0; r < d; ++r)
            for (unsigned long c = 0; c < d; ++c) out[r * d + c] += group[r] * std::conj(group[c]);
    }
    return out;
}

}  // namespace gates
