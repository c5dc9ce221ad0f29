// Blocked, threaded runs of gates against the gates applied one by one.
#include <gtest/gtest.h>
#include <sched.h>

#include <cmath>
#include <complex>
#include <exception>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/fusion/gate_runs.h"
#include "reference/state_manager.h"
#include "engine/space/state_space.h"
#include "engine_test_gates.h"

namespace {

using namespace test_gates;

using cd = std::complex<double>;
using state_vector = std::vector<cd>;

struct run_case {
    unsigned long qubits;
    std::size_t gates;
    int cpus;
};

class gate_runs : public testing::TestWithParam<run_case> {};

// Every amplitude must come out exactly as from the kernels one gate at a time.
TEST_P(gate_runs, MatchGateByGateExecution) {
    const run_case c = GetParam();
    cpu_limit limit(c.cpus);
    std::mt19937_64 rng(c.qubits * 1000 + c.gates + c.cpus);
    const std::vector<gate_unit> gates = randomGates(c.qubits, c.gates, rng);
    const state_vector start = randomState(c.qubits, rng);

    state_vector expected = start;
    for (const gate_unit& g : gates) g.execute(expected);

    std::vector<gates::compiled_gate> compiled;
    for (const gate_unit& g : gates) {
        gates::compiled_gate one;
        if (gates::compileGate(g, c.qubits, one)) compiled.push_back(one);
    }
    state_vector actual = start;
    gates::runGates(actual, compiled);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) ASSERT_EQ(actual[k], expected[k]) << "amplitude " << k;
}

INSTANTIATE_TEST_SUITE_P(engine, gate_runs,
                         testing::Values(run_case{1, 40, 1}, run_case{2, 40, 1}, run_case{3, 60, 1},
                                         run_case{7, 200, 1}, run_case{12, 300, 1}, run_case{16, 200, 1},
                                         run_case{17, 120, 1}, run_case{19, 80, 1}, run_case{19, 80, 2},
                                         run_case{20, 60, 2}),
                         [](const auto& info) {
                             return std::to_string(info.param.qubits) + "q_" + std::to_string(info.param.gates) +
                                    "g_" + std::to_string(info.param.cpus) + "cpu";
                         });

struct passes_case {
    const char* name;
    std::vector<unsigned long> qubits;  // one H on each, in order
    unsigned long expected;
    unsigned long selectors = 0;  // then CCX (controls q, q + 1) and T on qubits 0, 1...
};

class gate_runs_passes : public testing::TestWithParam<passes_case> {};

// On 20 qubits and one CPU a tile spans the 10 low bit positions and any 6
// higher ones: a stretch ends where a gate would bring a 7th high position.
TEST_P(gate_runs_passes, OnePassPerStretch) {
    const passes_case c = GetParam();
    cpu_limit limit(1);
    std::vector<gates::compiled_gate> compiled;
    for (unsigned long q : c.qubits) {
        gates::compiled_gate one;
        ASSERT_TRUE(gates::compileGate(gate_unit("H", q), 20, one));
        compiled.push_back(one);
    }
    // Controls and phases only pick the tiles they act on: they widen no tile.
    for (unsigned long q = 0; q < c.selectors; ++q) {
        gates::compiled_gate one;
        ASSERT_TRUE(gates::compileGate(q % 2 ? gate_unit("T", q) : gate_unit("CCX", q, q + 1, 19), 20, one));
        compiled.push_back(one);
    }
    state_vector v(1UL << 20);
    v[0] = 1.0;
    EXPECT_EQ(gates::runGates(v, compiled), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    engine, gate_runs_passes,
    testing::Values(passes_case{"low_qubits_share_one_pass", {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 19, 10}, 1},
                    passes_case{"six_high_positions_fit", {0, 1, 2, 3, 4, 5, 0, 5, 19}, 1},
                    passes_case{"seventh_high_position_starts_a_pass", {0, 1, 2, 3, 4, 5, 6}, 2},
                    passes_case{"two_rounds_of_seven", {0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6}, 3},
                    passes_case{"high_controls_and_phases_fit_any_stretch", {0, 1, 2, 3, 4, 5}, 1, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(gate_runs_compile, RefusesWhatExecuteRefuses) {
    gates::compiled_gate out;
    EXPECT_FALSE(gates::compileGate(gate_unit("I", 0), 3, out));
    EXPECT_FALSE(gates::compileGate(gate_unit("MEASURE", 0), 3, out));
    EXPECT_FALSE(gates::compileGate(gate_unit("Bogus", 0), 3, out));
    EXPECT_FALSE(gates::compileGate(gate_unit("X", 3), 3, out));
    EXPECT_FALSE(gates::compileGate(gate_unit("CNOT", 1, 1), 3, out));
    EXPECT_FALSE(gates::compileGate(gate_unit("CCX", 0, 1, 1), 3, out));
    // A fixed gate built with an angle runs as the fixed gate.
    ASSERT_TRUE(gates::compileGate(gate_unit("H", 1, 90.0), 3, out));
    EXPECT_EQ(out.kind, gates::compiled_gate::PAIR_H);
    EXPECT_EQ(out.target, 1u);
}

// Gathered runs around measurements and conditioned gates: the in-place run
// ends with the same branches as the gate-by-gate run that keeps history.
TEST(gate_runs_branching, InPlaceMatchesGateByGate) {
    std::mt19937_64 rng(7);
    const unsigned long n = 18;
    std::vector<circuit_unit> layers;
    auto rotations = [&](unsigned long from) {
        std::vector<gate_unit> layer;
        for (unsigned long q = from; q < n; ++q) layer.emplace_back("Ry", q, double(rng() % 360));
        return layer;
    };
    layers.push_back(rotations(0));
    std::vector<gate_unit> entangle;
    for (unsigned long q = 0; q + 1 < n; q += 2) entangle.emplace_back("CNOT", q, q + 1);
    layers.push_back(entangle);
    std::vector<gate_unit> split = rotations(2);
    split.insert(split.begin(), {measure(0, 0), measure(1, 1)});
    layers.push_back(split);
    std::vector<gate_unit> conditioned = {when(gate_unit("X", 2), {0}, EQUAL, 1),
                                          when(gate_unit("Z", 3), {0, 1}, GREATER, 1)};
    for (unsigned long q = 4; q < n; ++q) conditioned.emplace_back("H", q);
    layers.push_back(conditioned);
    layers.push_back(rotations(2));
    const circuit c(layers, 2);

    state_manager inplace, history;
    inplace.execute_inplace(c);
    history.execute(c);
    ASSERT_EQ(inplace.getBranches().size(), 4u);
    ASSERT_EQ(history.getBranches().size(), 4u);
    for (std::size_t b = 0; b < 4; ++b)
        EXPECT_EQ(inplace.getBranches()[b].getCurrentQuantumState(),
                  history.getBranches()[b].getCurrentQuantumState())
            << "branch " << b;
    EXPECT_EQ(inplace.getProbabilities(), history.getProbabilities());
}

// Vectors large enough to be shared between threads: the probabilities sum
// every entry's branches in branch order and the state vector is scaled by
// one norm, exactly as a single thread would.
TEST(gate_runs_branching, SharedOutPassesMatchOneLoop) {
    cpu_limit limit(2);
    const unsigned long n = 19;
    std::mt19937_64 rng(11);
    std::vector<gate_unit> spread;
    for (unsigned long q = 0; q < n; ++q) spread.emplace_back("Ry", q, double(rng() % 720));
    // A layer names every qubit that is still unmeasured.
    std::vector<gate_unit> measured = {measure(0, 0), measure(5, 1), measure(18, 2)};
    for (unsigned long q = 1; q < n - 1; ++q)
        if (q != 5) measured.emplace_back("I", q);
    const circuit branched({circuit_unit(spread), circuit_unit(measured)}, 3);
    state_manager manager;
    manager.execute_inplace(branched);
    ASSERT_EQ(manager.getBranches().size(), 8u);
    std::vector<double> expected(1UL << n, 0.0);
    for (const quantum_state& branch : manager.getBranches()) {
        const state_vector& a = branch.getCurrentQuantumState();
        for (std::size_t k = 0; k < expected.size(); ++k)
            expected[k] += branch.getStateProb() * (a[k].real() * a[k].real() + a[k].imag() * a[k].imag());
    }
    EXPECT_EQ(manager.getProbabilities(), expected);

    state_manager pure;
    pure.execute_inplace(circuit({circuit_unit(spread)}));
    state_vector scaled = pure.getBranches().front().getCurrentQuantumState();
    // The norm's sum as a tree: halves apart, then added, down to runs of
    // NORM_LEAF entries added in order.
    const std::function<double(std::size_t, std::size_t)> tree = [&](std::size_t begin, std::size_t size) {
        if (size > state_space::NORM_LEAF) return tree(begin, size / 2) + tree(begin + size / 2, size / 2);
        double sum = 0.0;
        for (std::size_t k = begin; k < begin + size; ++k)
            sum += scaled[k].real() * scaled[k].real() + scaled[k].imag() * scaled[k].imag();
        return sum;
    };
    const double norm = std::sqrt(tree(0, scaled.size()));
    for (cd& a : scaled) a = cd(a.real() / norm, a.imag() / norm);
    EXPECT_EQ(pure.takeStateVector(), scaled);
}

// A gate on a measured qubit is refused after the gates gathered before it ran.
TEST(gate_runs_branching, RefusedGateAfterGatheredGates) {
    const circuit c({circuit_unit({measure(0, 0), gate_unit("I", 1)}), circuit_unit({gate_unit("X", 1)}),
                     circuit_unit({gate_unit("X", 0)})},
                    1);
    state_manager manager;
    EXPECT_THROW(manager.execute_inplace(c), std::exception);
    ASSERT_EQ(manager.getBranches().size(), 2u);
    EXPECT_EQ(manager.getBranches()[0].getCurrentQuantumState(), (state_vector{0.0, 1.0, 0.0, 0.0}));
    EXPECT_EQ(manager.getBranches()[1].getCurrentQuantumState(), (state_vector{0.0, 0.0, 0.0, 0.0}));
}

// Taking the state vector out of a finished run gives what getStateVector
// copies, to the last bit; after a measurement there is none to take.
TEST(gate_runs_branching, TakeStateVectorMatchesGetStateVector) {
    const circuit pure({circuit_unit({gate_unit("H", 0), gate_unit("Ry", 1, 33.0), gate_unit("T", 2)}),
                        circuit_unit({gate_unit("CNOT", 0, 2), gate_unit("X90", 1)})});
    state_manager manager;
    manager.execute_inplace(pure);
    const state_vector copied = manager.getStateVector();
    ASSERT_EQ(copied.size(), 8u);
    EXPECT_EQ(manager.takeStateVector(), copied);

    state_manager branched;
    branched.execute_inplace(circuit({circuit_unit({gate_unit("H", 0)}), circuit_unit({measure(0, 0)})}, 1));
    EXPECT_TRUE(branched.takeStateVector().empty());
    EXPECT_EQ(branched.getBranches().size(), 2u);
}

}  // namespace
