#include "simulator/readout/observables.h"

#include <stdexcept>
#include <string>

namespace observables {

namespace {

[[noreturn]] void refuse(std::size_t o, std::size_t t, const std::string& what) {
    throw std::invalid_argument("\"observables\" item " + std::to_string(o) + ", term " + std::to_string(t) + ": " +
                                what);
}

}  // namespace

std::vector<pauli_sums::observable> on_lanes(const std::vector<observable_spec>& specs,
                                             const std::vector<unsigned long>& register_lanes, unsigned long lanes,
                                             const measurement_record& record) {
    const std::size_t qubits = register_lanes.size();
    std::vector<pauli_sums::observable> out;
    for (std::size_t o = 0; o < specs.size(); ++o) {
        pauli_sums::observable terms;
        for (std::size_t t = 0; t < specs[o].size(); ++t) {
            const pauli_term_spec& spec = specs[o][t];
            if (spec.paulis.size() != qubits) {
                refuse(o, t, "\"" + spec.paulis + "\" has " + std::to_string(spec.paulis.size()) +
                                 " Paulis, but the register has " + std::to_string(qubits) + " qubits");
            }
            pauli_sums::term term;
            term.coefficient = spec.coefficient;
            bool crosses_branches = false;
            for (std::size_t q = 0; q < qubits; ++q) {
                const unsigned long lane = register_lanes[q];
                const unsigned long bit = 1UL << (lanes - 1 - lane);
                switch (spec.paulis[q]) {
                    case 'I': break;
                    case 'X': term.x |= bit; break;
                    case 'Y': term.y |= bit; break;
                    case 'Z': term.z |= bit; break;
                    default: refuse(o, t, "\"" + spec.paulis + "\" holds '" + spec.paulis[q] + "', not one of I, X, Y, Z");
                }
                if ((spec.paulis[q] == 'X' || spec.paulis[q] == 'Y') && record.isMeasured(lane)) crosses_branches = true;
            }
            if (!crosses_branches) terms.push_back(term);
        }
        out.push_back(std::move(terms));
    }
    return out;
}

}  // namespace observables
