#include "simulator/branch/channel_draws.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/space/local_operator.h"

namespace channel_draws {

namespace {

using cd = std::complex<double>;

// Below this, an entry of K^dagger K or of the chi matrix counts as zero:
// far above rounding of operators of norm at most 1, far below any weight a
// noise model means.
constexpr double kZero = 1e-12;

// The Pauli factor `a` (0..3: I, X, Y, Z) at row r, column c.
cd pauliEntry(unsigned a, unsigned r, unsigned c) {
    switch (a) {
        case 0: return r == c ? 1.0 : 0.0;
        case 1: return r != c ? 1.0 : 0.0;
        case 2: return r == c ? cd(0.0) : (r == 0 ? cd(0.0, -1.0) : cd(0.0, 1.0));
        default: return r == c ? (r == 0 ? 1.0 : -1.0) : 0.0;
    }
}

// The Pauli string `index` (base 4, the first listed qubit the top digit) on
// m qubits, as a 2^m by 2^m matrix (the first qubit the top bit).
matrix pauliString(unsigned index, unsigned m) {
    const unsigned d = 1U << m;
    matrix out(d * d, 1.0);
    for (unsigned r = 0; r < d; ++r)
        for (unsigned c = 0; c < d; ++c)
            for (unsigned q = 0; q < m; ++q) {
                const unsigned a = (index >> (2 * (m - 1 - q))) & 3U;
                out[r * d + c] *= pauliEntry(a, (r >> (m - 1 - q)) & 1U, (c >> (m - 1 - q)) & 1U);
            }
    return out;
}

std::vector<GATE_INDEX> gatesOf(unsigned index, unsigned m) {
    static const GATE_INDEX kFactors[4] = {GATE_I, GATE_X, GATE_Y, GATE_Z};
    std::vector<GATE_INDEX> out;
    for (unsigned q = 0; q < m; ++q) out.push_back(kFactors[(index >> (2 * (m - 1 - q))) & 3U]);
    return out;
}

// Tr(P^dagger K) / d: K's coefficient on the Pauli string P.
cd coefficient(const matrix& p, const matrix& k, unsigned d) {
    cd sum = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) sum += std::conj(p[i]) * k[i];
    return sum / static_cast<double>(d);
}

bool keepsTrace(const std::vector<matrix>& operators, unsigned d) {
    for (unsigned r = 0; r < d; ++r)
        for (unsigned c = 0; c < d; ++c) {
            cd sum = 0.0;
            for (const matrix& k : operators)
                for (unsigned i = 0; i < d; ++i) sum += std::conj(k[i * d + r]) * k[i * d + c];
            if (std::abs(sum - cd(r == c ? 1.0 : 0.0)) > kZero) return false;
        }
    return true;
}

// c when K^dagger K = c I (c > 0), else 0.
double unitaryWeight(const matrix& k, unsigned d) {
    double c = 0;
    for (unsigned i = 0; i < d; ++i) c += std::norm(k[i]);  // (K^dagger K)_00
    if (!(c > kZero)) return 0;
    for (unsigned r = 0; r < d; ++r)
        for (unsigned col = 0; col < d; ++col) {
            cd sum = 0.0;
            for (unsigned i = 0; i < d; ++i) sum += std::conj(k[i * d + r]) * k[i * d + col];
            if (std::abs(sum - cd(r == col ? c : 0.0)) > kZero) return 0;
        }
    return c;
}

// The Pauli string a unitary equals up to a phase, or -1.
int pauliIndexOf(const matrix& u, unsigned m) {
    const unsigned d = 1U << m;
    for (unsigned a = 0; a < d * d; ++a)
        if (std::abs(std::abs(coefficient(pauliString(a, m), u, d)) - 1.0) <= kZero) return static_cast<int>(a);
    return -1;
}

// The channel as a mixture of Pauli strings when its chi matrix is
// diagonal: each string's weight, else empty.
std::vector<double> pauliWeights(const std::vector<matrix>& operators, unsigned m) {
    const unsigned d = 1U << m, strings = d * d;
    std::vector<std::vector<cd>> coefficients;  // per operator, per string
    for (const matrix& k : operators) {
        std::vector<cd> row;
        for (unsigned a = 0; a < strings; ++a) row.push_back(coefficient(pauliString(a, m), k, d));
        coefficients.push_back(std::move(row));
    }
    std::vector<double> weights(strings, 0.0);
    for (unsigned a = 0; a < strings; ++a)
        for (unsigned b = a; b < strings; ++b) {
            cd chi = 0.0;
            for (const auto& row : coefficients) chi += row[a] * std::conj(row[b]);
            if (a == b)
                weights[a] = chi.real();
            else if (std::abs(chi) > kZero)
                return {};
        }
    return weights;
}

fixed_term pauliTerm(unsigned index, double weight, unsigned m) {
    fixed_term t;
    t.weight = weight;
    t.unitary = pauliString(index, m);
    t.isPauli = true;
    t.paulis = gatesOf(index, m);
    return t;
}

}  // namespace

drawn_channel split(const program::kraus_channel& channel) {
    drawn_channel out;
    const unsigned m = channel.qubits(), d = 1U << m;
    if (!keepsTrace(channel.operators, d)) {
        out.rest = channel.operators;
        return out;
    }
    const std::vector<double> weights = pauliWeights(channel.operators, m);
    if (!weights.empty()) {
        for (unsigned a = 0; a < weights.size(); ++a)
            if (weights[a] > 0) out.fixed.push_back(pauliTerm(a, weights[a], m));
    } else {
        for (const matrix& k : channel.operators) {
            const double c = unitaryWeight(k, d);
            if (c == 0) {
                out.rest.push_back(k);
                continue;
            }
            fixed_term t;
            t.weight = c;
            for (const cd& e : k) t.unitary.push_back(e / std::sqrt(c));
            const int pauli = pauliIndexOf(t.unitary, m);
            if (pauli >= 0) t = pauliTerm(static_cast<unsigned>(pauli), c, m);
            out.fixed.push_back(std::move(t));
        }
    }
    for (const fixed_term& t : out.fixed) out.fixedTotal += t.weight;
    if (out.rest.empty()) {
        // The weights sum to 1 to rounding: the last takes what rounding left.
        out.fixedTotal = 1.0;
    }
    return out;
}

draw_table::draw_table(const program::sub_circuit& sub) {
    const auto qubits = static_cast<unsigned long>(sub.qubits);
    for (const program::op& op : sub.ops) {
        if (op.kind != program::op_kind::channel || !op.channel) continue;
        // A qubit the register lacks: the run refuses the op before drawing.
        if (std::any_of(op.qubits.begin(), op.qubits.end(), [&](unsigned long q) { return q >= qubits; })) continue;
        auto [entry, added] = entries_.try_emplace({op.channel.get(), op.qubits});
        if (!added) continue;
        placed_channel& placed = entry->second;
        placed.drawn = split(*op.channel);
        for (unsigned long q : op.qubits) placed.positions.push_back(qubits - 1 - q);
        for (const fixed_term& t : placed.drawn.fixed) placed.fixed.push_back(gates::operatorOn(t.unitary, placed.positions));
    }
}

const placed_channel& draw_table::at(const program::op& op) const {
    const auto found = entries_.find({op.channel.get(), op.qubits});
    if (found == entries_.end()) throw std::logic_error("a channel the trajectories' table was not made with");
    return found->second;
}

}  // namespace channel_draws
