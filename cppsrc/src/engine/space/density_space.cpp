#include "engine/space/density_space.h"

#include <stdexcept>

#include "engine/kernels/fused_matrix.h"
#include "engine/space/local_operator.h"
#include "engine/fusion/gate_runs.h"
#include "engine/space/key_sums.h"
#include "engine/fusion/run_stopped.h"
#include "engine/parallel/share_out.h"

namespace density_space {

using cd = std::complex<double>;
using gates::compiled_gate;

namespace {

unsigned long dimension(unsigned long qubits) { return 1UL << qubits; }
// The vector index of rho[i][i].
unsigned long diagonalIndex(unsigned long i, unsigned long qubits) { return (i << qubits) | i; }

}  // namespace

state_vector zeroState(unsigned long qubits) {
    if (qubits > kMaxQubits) throw std::length_error("too many qubits for a density matrix");
    return state_space::zeroState(2 * qubits);
}

compiled_gate conjugated(const compiled_gate& g) {
    compiled_gate out = g;
    switch (g.kind) {
        case compiled_gate::PAIR_H:
        case compiled_gate::PAIR_SWAP:
        case compiled_gate::PAIR_YCON:
        case compiled_gate::UPPER_NEGATE: return out;  // real
        case compiled_gate::PAIR_MATRIX:
        case compiled_gate::PAIR_DIAG:
        case compiled_gate::UPPER_PHASE:
            for (cd& m : out.m) m = std::conj(m);
            return out;
        case compiled_gate::PAIR_Y:
        case compiled_gate::PAIR_X90:
        case compiled_gate::PAIR_Y90: {
            // The 2x2 these kernels apply, read off their own arithmetic.
            compiled_gate local = g;
            local.target = 0;
            local.mask = local.zeros = 0;
            cd columns[2][2] = {{1.0, 0.0}, {0.0, 1.0}};
            for (auto& column : columns) gates::applyGate(column, 2, local);
            out.kind = compiled_gate::PAIR_MATRIX;
            out.m[0] = std::conj(columns[0][0]);
            out.m[1] = std::conj(columns[1][0]);
            out.m[2] = std::conj(columns[0][1]);
            out.m[3] = std::conj(columns[1][1]);
            return out;
        }
        case compiled_gate::FUSED: break;
    }
    throw std::logic_error("a fused product has no conjugate step: double the gates before fusing them");
}

std::vector<compiled_gate> doubled(const std::vector<compiled_gate>& run, unsigned long qubits) {
    std::vector<compiled_gate> out;
    out.reserve(2 * run.size());
    for (const compiled_gate& g : run) {
        compiled_gate rows = g;
        rows.target += qubits;
        rows.mask <<= qubits;
        rows.zeros <<= qubits;
        out.push_back(rows);
        out.push_back(conjugated(g));
    }
    return out;
}

std::unique_ptr<gates::fused_matrix> superoperator(const kraus_operators& kraus, const std::vector<unsigned long>& on,
                                                   unsigned long qubits) {
    // sum_k K_k (x) conj(K_k), its row-side bits above its column-side ones.
    const unsigned long d = 1UL << on.size(), D = d * d;
    std::vector<cd> s(D * D, 0.0);
    for (const auto& k : kraus)
        for (unsigned long to = 0; to < D; ++to)
            for (unsigned long from = 0; from < D; ++from)
                s[to * D + from] += k[(to / d) * d + from / d] * std::conj(k[(to % d) * d + from % d]);
    std::vector<unsigned long> positions;
    for (unsigned long q : on) positions.push_back(2 * qubits - 1 - q);  // rows
    for (unsigned long q : on) positions.push_back(qubits - 1 - q);      // columns
    return gates::operatorOn(s, positions);
}

double trace(const state_vector& rho, unsigned long qubits) {
    double sum = 0.0;
    for (unsigned long i = 0; i < dimension(qubits); ++i) sum += rho[diagonalIndex(i, qubits)].real();
    return sum;
}

std::vector<double> diagonal(const state_vector& rho, unsigned long qubits) {
    std::vector<double> out(dimension(qubits));
    for (unsigned long i = 0; i < out.size(); ++i) out[i] = rho[diagonalIndex(i, qubits)].real();
    return out;
}

std::vector<double> marginal(const state_vector& rho, unsigned long qubits, const std::vector<unsigned long>& positions) {
    std::vector<double> out(std::size_t(1) << positions.size(), 0.0);
    key_sums::sumByKey(dimension(qubits), positions, 0, out,
                       [&](unsigned long i) { return rho[diagonalIndex(i, qubits)].real(); });
    return out;
}

void zeroPart(state_vector& rho, unsigned long qubits, unsigned long position, bool one) {
    state_space::zeroPart(rho, 1UL << (position + qubits), one);
    state_space::zeroPart(rho, 1UL << position, one);
}

void flipBit(state_vector& rho, unsigned long qubits, unsigned long position) {
    state_space::flipBit(rho, 1UL << (position + qubits));
    state_space::flipBit(rho, 1UL << position);
}

std::vector<double> expectations(const state_vector& rho, unsigned long qubits,
                                 const std::vector<pauli_sums::observable>& observables,
                                 const std::function<bool()>& keepGoing) {
    // Tr(rho P) = sum_i phase(i) rho[i][i ^ flip], where P|i> = phase(i)|i ^ flip>.
    const double norm = trace(rho, qubits);
    std::vector<double> out;
    for (const pauli_sums::observable& o : observables) {
        double value = 0.0;
        for (const pauli_sums::term& t : o) {
            if (keepGoing && !keepGoing()) throw run_stopped();
            const unsigned long flip = t.x | t.y, signs = t.y | t.z;
            cd sum = 0.0;
            for (unsigned long i = 0; i < dimension(qubits); ++i) {
                const cd entry = rho[(i << qubits) | (i ^ flip)];
                sum += __builtin_popcountl(i & signs) & 1 ? -entry : entry;
            }
            value += t.coefficient * (pauli_sums::y_factor(t) * sum).real();
        }
        out.push_back(value / norm);
    }
    return out;
}

}  // namespace density_space
