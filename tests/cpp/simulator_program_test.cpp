// The simulator driven by a program built in C++, without an interpreter:
// random programs with conditions (on gates, measurements and resets),
// measurements, resets and reuse of measured qubits, run with record qubits
// and as branch states, keyed by their classical bits, against a reference that
// splits every measurement and reset into explicit branches.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "simulator/basic_simulator.h"

namespace {

using cd = std::complex<double>;

// The engine's angle convention and constants (degrees; gates.h).
constexpr double kPi = 3.1415926532;

struct branch {
    std::vector<cd> amplitudes;  // unnormalised: its norm is the branch's probability
    std::vector<char> bits;
};

// Bit position of qubit q in an index: qubit 0 is the most significant.
std::size_t mask(int n, unsigned long q) { return std::size_t(1) << (n - 1 - static_cast<int>(q)); }

void apply_one(std::vector<cd>& a, int n, unsigned long q, const cd m[4], std::size_t controls = 0) {
    const std::size_t t = mask(n, q);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if ((i & t) || (i & controls) != controls) continue;
        const cd x = a[i], y = a[i | t];
        a[i] = m[0] * x + m[1] * y;
        a[i | t] = m[2] * x + m[3] * y;
    }
}

void apply(std::vector<cd>& a, int n, const program::op& op) {
    const double h = 1 / std::sqrt(2.0), r = op.angle * kPi / 180 / 2;
    const cd I(0, 1);
    const cd hm[4] = {h, h, h, -h}, xm[4] = {0, 1, 1, 0}, zm[4] = {1, 0, 0, -1}, sm[4] = {1, 0, 0, I};
    const cd rx[4] = {std::cos(r), -I * std::sin(r), -I * std::sin(r), std::cos(r)};
    const cd ry[4] = {std::cos(r), -std::sin(r), std::sin(r), std::cos(r)};
    const auto& q = op.qubits;
    switch (op.gate) {
        case GATE_H: apply_one(a, n, q[0], hm); break;
        case GATE_X: apply_one(a, n, q[0], xm); break;
        case GATE_Z: apply_one(a, n, q[0], zm); break;
        case GATE_S: apply_one(a, n, q[0], sm); break;
        case GATE_RX: apply_one(a, n, q[0], rx); break;
        case GATE_RY: apply_one(a, n, q[0], ry); break;
        case GATE_CNOT: apply_one(a, n, q[1], xm, mask(n, q[0])); break;
        case GATE_CCX: apply_one(a, n, q[2], xm, mask(n, q[0]) | mask(n, q[1])); break;
        default: FAIL() << "no reference for gate " << op.gate;
    }
}

bool satisfied(const condition& c, const std::vector<char>& bits) {
    std::vector<char> read;
    for (unsigned long bit : c.getClbits()) read.push_back(bits[bit]);
    return c.holds(read);
}

// Splits every branch that satisfies `cond` (every branch without one) on
// qubit q: the outcome-0 and outcome-1 parts.
std::vector<branch> split(const std::vector<branch>& in, int n, unsigned long q, long clbit, bool reset,
                          const condition& cond) {
    std::vector<branch> out;
    for (const branch& b : in) {
        if (cond.isValid() && !satisfied(cond, b.bits)) {
            out.push_back(b);
            continue;
        }
        for (int outcome = 0; outcome < 2; ++outcome) {
            branch part = b;
            double norm = 0;
            for (std::size_t i = 0; i < part.amplitudes.size(); ++i) {
                if (((i & mask(n, q)) != 0) != (outcome == 1)) part.amplitudes[i] = 0;
                norm += std::norm(part.amplitudes[i]);
            }
            if (norm < 1e-300) continue;
            if (clbit >= 0) part.bits[static_cast<std::size_t>(clbit)] = static_cast<char>(outcome);
            const cd xm[4] = {0, 1, 1, 0};
            if (reset && outcome == 1) apply_one(part.amplitudes, n, q, xm);
            out.push_back(std::move(part));
        }
    }
    return out;
}

std::map<std::string, double> reference(const program::sub_circuit& sub) {
    const int n = sub.qubits;
    std::vector<branch> branches{{std::vector<cd>(std::size_t(1) << n), std::vector<char>(sub.clbits, 0)}};
    branches[0].amplitudes[0] = 1;
    for (const program::op& op : sub.ops) {
        if (op.kind == program::op_kind::measure) {
            for (std::size_t k = 0; k < op.qubits.size(); ++k)
                branches = split(branches, n, op.qubits[k], static_cast<long>(op.clbits[k]), false, op.cond);
        } else if (op.kind == program::op_kind::reset) {
            for (unsigned long q : op.qubits) branches = split(branches, n, q, -1, true, op.cond);
        } else {
            for (branch& b : branches)
                if (!op.cond.isValid() || satisfied(op.cond, b.bits)) apply(b.amplitudes, n, op);
        }
    }
    std::map<std::string, double> keyed;
    for (const branch& b : branches) {
        std::string key;
        for (char bit : b.bits) key += bit ? '1' : '0';
        double p = 0;
        for (const cd& a : b.amplitudes) p += std::norm(a);
        keyed[key] += p;
    }
    return keyed;
}

program::sub_circuit random_program(std::mt19937& rng, int n, int clbits, int ops) {
    program::sub_circuit sub;
    sub.qubits = n;
    sub.clbits = clbits;
    auto pick = [&](int below) { return static_cast<unsigned long>(std::uniform_int_distribution<int>(0, below - 1)(rng)); };
    const GATE_INDEX one[] = {GATE_H, GATE_X, GATE_Z, GATE_S, GATE_RX, GATE_RY};
    for (int k = 0; k < ops; ++k) {
        program::op op;
        const unsigned long roll = pick(10);
        // Conditions on measurements and resets as well as gates.
        if (pick(4) == 0) {
            std::vector<unsigned long> bits{pick(clbits)};
            op.cond = condition(bits, static_cast<RELATION>(pick(6)), wide_integer(static_cast<long long>(pick(2))));
        }
        if (roll < 2) {
            op.kind = program::op_kind::measure;
            op.qubits = {pick(n)};
            op.clbits = {pick(clbits)};
        } else if (roll < 3) {
            op.kind = program::op_kind::reset;
            op.qubits = {pick(n)};
        } else {
            op.gate = roll < 5 && n >= 2 ? GATE_CNOT : roll < 6 && n >= 3 ? GATE_CCX : one[pick(6)];
            const unsigned long width = gates::gateArity(op.gate);
            while (op.qubits.size() < width) {
                const unsigned long q = pick(n);
                if (std::find(op.qubits.begin(), op.qubits.end(), q) == op.qubits.end()) op.qubits.push_back(q);
            }
            if (op.gate == GATE_RX || op.gate == GATE_RY) {
                op.angle = std::uniform_real_distribution<double>(0, 720)(rng);
                op.hasAngle = true;
            }
        }
        sub.ops.push_back(std::move(op));
    }
    return sub;
}

class SimulatorProgram : public ::testing::TestWithParam<unsigned> {};

TEST_P(SimulatorProgram, ClassicalDistributionMatchesExplicitBranches) {
    std::mt19937 rng(GetParam());
    const int n = 1 + static_cast<int>(GetParam() % 4), clbits = 1 + static_cast<int>(GetParam() % 3);
    const program::sub_circuit sub = random_program(rng, n, clbits, 24);
    const std::map<std::string, double> expected = reference(sub);
    auto at = [](const std::map<std::string, double>& m, const std::string& key) {
        auto found = m.find(key);
        return found == m.end() ? 0.0 : found->second;
    };
    // By default record qubits where nothing under a condition collapses;
    // branch states always when asked.
    for (reuse_choice reuse : {reuse_choice::automatic, reuse_choice::branches}) {
        simulator_options options;
        options.fusion = GetParam() % 2 ? fusion_choice::on : fusion_choice::off;
        options.reuse = reuse;
        options.mcbits = std::vector<int>();
        for (int c = 0; c < clbits; ++c) options.mcbits->push_back(c);
        run_context context;
        BasicSimulator simulator;
        const std::map<std::string, double> got = simulator.execute({sub}, options, context).probabilities();
        for (const auto& [key, p] : expected) EXPECT_NEAR(at(got, key), p, 1e-8) << key;
        for (const auto& [key, p] : got) EXPECT_NEAR(p, at(expected, key), 1e-8) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SimulatorProgram, ::testing::Range(0u, 60u));

}  // namespace
