#include "engine/kernels/fused_matrix.h"

#include <algorithm>

namespace gates {

namespace {

using cd = std::complex<double>;

// Doubles per entry in fused_matrix::wide: the real part four times, then
// the imaginary part.
constexpr std::size_t WIDE_STRIDE = 8;

void appendWide(std::vector<double>& wide, cd entry) {
    const double re = entry.real(), im = entry.imag();
    wide.insert(wide.end(), {re, re, re, re, im, im, im, im});
}

std::complex<float> toSingle(cd entry) {
    return {static_cast<float>(entry.real()), static_cast<float>(entry.imag())};
}

}  // namespace

// The entries in float, built from the double product: one rounding each.
// The multiplied entries are read from `wide` (its padding zeros included),
// one entry per WIDE_STRIDE doubles there.
void roundToSingle(fused_matrix& m) {
    m.singleEntries.clear();
    m.singleRows.clear();
    for (const cd& e : m.entries) m.singleEntries.push_back(toSingle(e));
    for (std::size_t k = 0; k + WIDE_STRIDE <= m.wide.size(); k += WIDE_STRIDE)
        m.singleRows.push_back(toSingle(cd(m.wide[k], m.wide[k + WIDE_STRIDE / 2])));
}

// What the kernels multiply by: every entry when more than half of a row
// is non-zero, else the non-zero ones, rows padded to a power of two.
void prepareRows(fused_matrix& m) {
    const unsigned long d = m.dimension();
    unsigned widest = 0;
    for (unsigned long r = 0; r < d; ++r) {
        unsigned count = 0;
        for (unsigned long c = 0; c < d; ++c) count += m.entries[r * d + c] != cd(0.0);
        widest = std::max(widest, count);
    }
    unsigned width = 1;
    while (width < widest) width *= 2;
    m.rowWidth = 2 * width > d ? static_cast<unsigned>(d) : width;
    m.diagonal = true;
    for (unsigned long r = 0; r < d; ++r)
        for (unsigned long c = 0; c < d; ++c)
            if (r != c && m.entries[r * d + c] != cd(0.0)) m.diagonal = false;
    m.wide.clear();
    m.columns.clear();
    if (m.dense()) {
        for (const cd& e : m.entries) appendWide(m.wide, e);
        return;
    }
    for (unsigned long r = 0; r < d; ++r) {
        unsigned taken = 0;
        for (unsigned long c = 0; c < d && taken < m.rowWidth; ++c)
            if (m.entries[r * d + c] != cd(0.0)) {
                m.columns.push_back(static_cast<unsigned>(c));
                appendWide(m.wide, m.entries[r * d + c]);
                ++taken;
            }
        for (; taken < m.rowWidth; ++taken) {  // zero factors on the row's own column
            m.columns.push_back(static_cast<unsigned>(r));
            appendWide(m.wide, 0.0);
        }
    }
}

}  // namespace gates
