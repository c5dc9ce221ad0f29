// Gates for the engine tests: a measurement into a classical bit, a gate
// under a condition on classical bits, random gates and states, and a limit
// on the CPUs a run may share out to.
#pragma once

#include <sched.h>

#include <complex>
#include <random>
#include <vector>

#include "ir/circuit.h"

inline gate_unit measure(unsigned long qubit, unsigned long clbit) {
    gate_unit m("MEASURE", qubit);
    m.setClbitTarget(clbit);
    return m;
}

inline gate_unit when(gate_unit g, std::vector<unsigned long> bits, RELATION relation, int value) {
    g.setCondition(condition(bits, relation, value));
    return g;
}

namespace test_gates {

using cd = std::complex<double>;
using state_vector = std::vector<cd>;

inline const char* const kOneQubit[] = {"I", "H", "X", "Y", "Z", "X90", "Y90", "Z90", "S", "Sd", "T", "Td", "Bogus"};
inline const char* const kAngled[] = {"Rx", "Ry", "Rz", "P"};
inline const char* const kTwoQubit[] = {"CNOT", "YCON", "ZCON"};

// Random gates of every kind on n qubits, among them some that execute()
// refuses: unknown names, qubits beyond the register, coinciding qubits.
inline std::vector<gate_unit> randomGates(unsigned long n, std::size_t count, std::mt19937_64& rng) {
    std::uniform_int_distribution<unsigned long> qubit(0, n - 1);
    std::uniform_real_distribution<double> degrees(-720.0, 720.0);
    std::vector<gate_unit> out;
    while (out.size() < count) {
        const unsigned kind = rng() % 20;
        if (kind < 8) {
            out.emplace_back(kOneQubit[rng() % 13], qubit(rng));
        } else if (kind < 12) {
            out.emplace_back(kAngled[rng() % 4], qubit(rng), degrees(rng));
        } else if (kind < 16 && n >= 2) {
            unsigned long a = qubit(rng), b = qubit(rng);
            if (rng() % 16 != 0)
                while (b == a) b = qubit(rng);
            out.emplace_back(kTwoQubit[rng() % 3], a, b);
        } else if (kind < 18 && n >= 3) {
            unsigned long a = qubit(rng), b = qubit(rng), c = qubit(rng);
            while (b == a) b = qubit(rng);
            while (c == a || c == b) c = qubit(rng);
            out.emplace_back("CCX", a, b, c);
        } else if (kind == 18) {
            out.emplace_back("H", n + rng() % 2);  // beyond the register
        } else {
            out.emplace_back("MEASURE", qubit(rng));
        }
    }
    return out;
}

inline state_vector randomState(unsigned long n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    state_vector v(1UL << n);
    for (cd& a : v) a = cd(normal(rng), normal(rng));
    return v;
}

// Restricts the process to `cpus` CPUs for the scope (the thread count of runGates).
class cpu_limit {
public:
    explicit cpu_limit(int cpus) {
        sched_getaffinity(0, sizeof(saved), &saved);
        cpu_set_t limited;
        CPU_ZERO(&limited);
        for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cpus; ++cpu)
            if (CPU_ISSET(cpu, &saved)) {
                CPU_SET(cpu, &limited);
                ++taken;
            }
        sched_setaffinity(0, sizeof(limited), &limited);
    }
    ~cpu_limit() { sched_setaffinity(0, sizeof(saved), &saved); }

private:
    cpu_set_t saved;
};

}  // namespace test_gates
