#include "engine/fusion/fusion_pattern.h"

#include <algorithm>

#include "engine/kernels/bit_positions.h"

namespace gates {

pattern identityPattern(unsigned qubits) {
    pattern p(1UL << qubits);
    for (std::size_t r = 0; r < p.size(); ++r) p[r] = std::uint32_t(1) << r;
    return p;
}

namespace {

// Whether the gate moves or phases amplitudes without mixing them: one
// entry per row.
bool keepsOnePerRow(const compiled_gate& g) {
    switch (g.kind) {
        case compiled_gate::PAIR_H:
        case compiled_gate::PAIR_X90:
        case compiled_gate::PAIR_Y90:
        case compiled_gate::PAIR_MATRIX:
        case compiled_gate::FUSED: return false;
        default: return true;
    }
}

}  // namespace

void applyToPattern(pattern& p, const compiled_gate& local) {
    if (local.kind == compiled_gate::FUSED) {
        // A given matrix (a channel on a density matrix): row r takes the
        // rows its non-zero entries read.
        const fused_matrix& m = *local.fused;
        const unsigned long d = m.dimension();
        const pattern before = p;
        for (std::size_t r = 0; r < p.size(); ++r) {
            const unsigned long row = compress(r, local.mask), rest = r & ~local.mask;
            p[r] = 0;
            for (unsigned long c = 0; c < d; ++c)
                if (m.entries[row * d + c] != std::complex<double>(0.0)) p[r] |= before[rest | deposit(c, local.mask)];
        }
        return;
    }
    if (!local.isPair() || local.kind == compiled_gate::PAIR_DIAG) return;  // phases: same entries
    const std::size_t t = std::size_t(1) << local.target;
    const bool swaps = keepsOnePerRow(local);
    const pattern before = p;
    for (std::size_t r = 0; r < p.size(); ++r) {
        if ((r & local.mask) != local.mask || (r & local.zeros) != 0) continue;
        p[r] = swaps ? before[r ^ t] : before[r] | before[r ^ t];
    }
}

pattern widen(const pattern& p, unsigned long from, unsigned long to) {
    pattern out(1UL << popcount(to));
    for (std::size_t r = 0; r < out.size(); ++r) {
        const unsigned long global = deposit(r, to);
        const unsigned long others = global & ~from;
        std::uint32_t row = 0;
        for (std::uint32_t cols = p[compress(global, from)]; cols; cols &= cols - 1) {
            const unsigned long c = static_cast<unsigned long>(__builtin_ctz(cols));
            row |= std::uint32_t(1) << compress(deposit(c, from) | others, to);
        }
        out[r] = row;
    }
    return out;
}

pattern product(const pattern& later, const pattern& earlier) {
    pattern out(later.size(), 0);
    for (std::size_t r = 0; r < later.size(); ++r)
        for (std::uint32_t cols = later[r]; cols; cols &= cols - 1) out[r] |= earlier[__builtin_ctz(cols)];
    return out;
}

unsigned rowWidth(const pattern& p) {
    unsigned widest = 0;
    for (std::uint32_t row : p) widest = std::max(widest, static_cast<unsigned>(popcount(row)));
    return widest;
}

}  // namespace gates
