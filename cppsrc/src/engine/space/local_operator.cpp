#include "engine/space/local_operator.h"

#include <algorithm>

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

namespace {

// Any number of positions: each group of amplitudes gathered, its products
// summed as complex numbers.
std::vector<std::complex<double>> anyReducedDensity(const state_space::state_vector& state,
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

// One or two positions, which every channel has: the groups in runs of
// consecutive indices (the positions' bits fixed) and the sums in plain
// doubles, the upper triangle only. The same products summed in the same
// order as above, so the same numbers, a few times sooner: a trajectory
// reads this for every channel whose draw depends on the state.
template <unsigned M>
std::vector<std::complex<double>> fewReducedDensity(const state_space::state_vector& state,
                                                    const std::vector<unsigned long>& positions) {
    constexpr unsigned D = 1U << M;
    std::size_t offset[D] = {};
    std::size_t mask = 0;
    unsigned long lowest = positions[0];
    for (unsigned j = 0; j < M; ++j) {
        for (unsigned k = 0; k < D; ++k)
            if ((k >> (M - 1 - j)) & 1) offset[k] |= std::size_t(1) << positions[j];
        mask |= std::size_t(1) << positions[j];
        lowest = std::min(lowest, positions[j]);
    }
    const std::size_t run = std::size_t(1) << lowest;
    double re[D][D] = {}, im[D][D] = {};
    const std::complex<double>* s = state.data();
    for (std::size_t base = 0; base < state.size(); base += run) {
        if (base & mask) continue;
        for (std::size_t i = base; i < base + run; ++i) {
            double ar[D], ai[D];
            for (unsigned k = 0; k < D; ++k) ar[k] = s[i + offset[k]].real(), ai[k] = s[i + offset[k]].imag();
            for (unsigned r = 0; r < D; ++r)
                for (unsigned c = r; c < D; ++c) {
                    re[r][c] += ar[r] * ar[c] + ai[r] * ai[c];  // a_r conj(a_c)
                    im[r][c] += ai[r] * ar[c] - ar[r] * ai[c];
                }
        }
    }
    std::vector<std::complex<double>> out(D * D);
    for (unsigned r = 0; r < D; ++r)
        for (unsigned c = r; c < D; ++c) {
            out[r * D + c] = {re[r][c], im[r][c]};
            out[c * D + r] = {re[r][c], -im[r][c]};
        }
    return out;
}

}  // namespace

std::vector<std::complex<double>> reducedDensity(const state_space::state_vector& state,
                                                 const std::vector<unsigned long>& positions) {
    if (positions.size() == 1) return fewReducedDensity<1>(state, positions);
    if (positions.size() == 2) return fewReducedDensity<2>(state, positions);
    return anyReducedDensity(state, positions);
}

}  // namespace gates
