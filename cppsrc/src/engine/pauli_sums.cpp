#include "engine/pauli_sums.h"

#include <map>
#include <mutex>

#include "engine/gate_runs.h"
#include "engine/share_out.h"

namespace pauli_sums {

namespace {

// The terms that share a flip mask, with the observable each belongs to.
struct group {
    std::vector<term> terms;
    std::vector<std::size_t> owners;
};

// i^(number of Y factors): the phase Y's i contributes, as (re, im).
std::complex<double> y_phase(unsigned long y) {
    static const std::complex<double> powers[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    return powers[__builtin_popcountl(y) % 4];
}

// Sum over i of conj(psi[i ^ flip]) psi[i] (-1)^popcount(i & signs), for
// each term of the group at once (signs = its Y and Z positions).
std::vector<std::complex<double>> group_sums(const state_vector& psi, unsigned long flip, const group& g) {
    const std::size_t count = g.terms.size();
    std::vector<std::complex<double>> total(count);
    std::mutex adding;
    gates::shareOut(psi.size(), gates::workerCount(psi.size()), [&](unsigned long begin, unsigned long end) {
        std::vector<std::complex<double>> part(count);
        for (unsigned long i = begin; i < end; ++i) {
            const std::complex<double> product = std::conj(psi[i ^ flip]) * psi[i];
            for (std::size_t t = 0; t < count; ++t) {
                const term& p = g.terms[t];
                if (__builtin_popcountl(i & (p.y | p.z)) & 1)
                    part[t] -= product;
                else
                    part[t] += product;
            }
        }
        std::lock_guard<std::mutex> hold(adding);
        for (std::size_t t = 0; t < count; ++t) total[t] += part[t];
    });
    return total;
}

double norm_of(const state_vector& psi) {
    double total = 0;
    for (const auto& a : psi) total += std::norm(a);
    return total;
}

}  // namespace

std::vector<double> expectations(const state_vector& state, const std::vector<observable>& observables) {
    std::map<unsigned long, group> groups;
    for (std::size_t o = 0; o < observables.size(); ++o) {
        for (const term& t : observables[o]) {
            group& g = groups[t.x | t.y];
            g.terms.push_back(t);
            g.owners.push_back(o);
        }
    }
    std::vector<double> values(observables.size(), 0.0);
    const double norm = norm_of(state);
    if (norm == 0) return values;
    for (const auto& [flip, g] : groups) {
        const std::vector<std::complex<double>> sums = group_sums(state, flip, g);
        for (std::size_t t = 0; t < g.terms.size(); ++t) {
            // <psi|P|psi> is real for a Hermitian P: the imaginary part is rounding.
            const double value = (y_phase(g.terms[t].y) * sums[t]).real();
            values[g.owners[t]] += g.terms[t].coefficient * value / norm;
        }
    }
    return values;
}

}  // namespace pauli_sums
