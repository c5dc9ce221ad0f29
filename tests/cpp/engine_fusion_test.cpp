// Fused runs against the exact runs: every probability within 1e-12, on
// random gates of every kind, on the quantum Fourier transform and (in
// engine_sliced_run_test.cpp) with gates confined to measurement outcomes.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "engine/fusion/fuser.h"
#include "engine/fusion/gate_order.h"
#include "engine/fusion/gate_runs.h"
#include "engine/run/sliced_run.h"
#include "engine/space/state_space.h"
#include "engine_test_gates.h"

namespace {

using namespace test_gates;

constexpr double TOLERANCE = 1e-12;

std::vector<gates::compiled_gate> compiledGates(const std::vector<gate_unit>& records, unsigned long qubits) {
    std::vector<gates::compiled_gate> out;
    for (const gate_unit& g : records) {
        gates::compiled_gate one;
        if (gates::compileGate(g, qubits, one)) out.push_back(one);
    }
    return out;
}

state_vector normalisedRandomState(unsigned long n, std::mt19937_64& rng) {
    state_vector v = randomState(n, rng);
    double norm = 0;
    for (const cd& a : v) norm += std::norm(a);
    for (cd& a : v) a /= std::sqrt(norm);
    return v;
}

void expectSameProbabilities(const state_vector& actual, const state_vector& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k)
        ASSERT_NEAR(std::norm(actual[k]), std::norm(expected[k]), TOLERANCE) << "basis state " << k;
}

struct fusion_case {
    unsigned long qubits;
    std::size_t gates;
    gates::fusion_limits limits;
    int cpus;
};

class fused_runs : public testing::TestWithParam<fusion_case> {};

TEST_P(fused_runs, AgreeWithTheExactRun) {
    const fusion_case c = GetParam();
    cpu_limit limit(c.cpus);
    std::mt19937_64 rng(c.qubits * 7919 + c.gates * 31 + c.limits.qubits * 7 + c.limits.rowWidth);
    const std::vector<gates::compiled_gate> compiled = compiledGates(randomGates(c.qubits, c.gates, rng), c.qubits);
    const state_vector start = normalisedRandomState(c.qubits, rng);

    state_vector expected = start;
    gates::runGates(expected, compiled);
    const gates::fused_run fused = gates::fuseGates(compiled, c.limits);
    ASSERT_FALSE(fused.matrices.empty());  // else nothing fused was tested
    state_vector actual = start;
    gates::runGates(actual, fused.steps);
    expectSameProbabilities(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(
    engine, fused_runs,
    testing::Values(fusion_case{1, 40, {1, 2}, 1}, fusion_case{2, 60, {2, 4}, 1}, fusion_case{3, 80, {3, 1}, 1},
                    fusion_case{5, 120, {4, 4}, 1}, fusion_case{9, 200, {5, 2}, 1}, fusion_case{12, 300, {3, 8}, 1},
                    fusion_case{16, 200, {4, 16}, 1}, fusion_case{17, 150, {2, 1}, 1}, fusion_case{19, 120, {4, 4}, 2},
                    fusion_case{20, 160, {5, 32}, 2}, fusion_case{20, 200, {5, 4}, 1},
                    fusion_case{13, 250, {4, 2, 0}, 1}, fusion_case{18, 200, {3, 4, 2}, 2}),
    [](const auto& info) {
        const fusion_case& c = info.param;
        return std::to_string(c.qubits) + "q_" + std::to_string(c.gates) + "g_" + std::to_string(c.limits.qubits) +
               "x" + std::to_string(c.limits.rowWidth) + "d" + std::to_string(c.limits.denseQubits) + "_" +
               std::to_string(c.cpus) + "cpu";
    });

// Fused matrices are products of unitaries, within the engine's rounding
// (its SQRT2 literal leaves H unitary to about 1e-10); none has more
// positions than asked; a gate too wide for the size stays as it was.
TEST(fuser, MatricesAreUnitaryAndWithinTheSize) {
    std::mt19937_64 rng(5);
    const std::vector<gates::compiled_gate> compiled = compiledGates(randomGates(10, 400, rng), 10);
    for (unsigned size : {1U, 2U, 3U, 4U, 5U}) {
        const gates::fused_run fused = gates::fuseGates(compiled, {size, 32});
        std::size_t wide = 0;
        for (const gates::compiled_gate& step : fused.steps) {
            if (step.kind != gates::compiled_gate::FUSED) {
                wide += __builtin_popcountl(step.positions()) > static_cast<int>(size);
                continue;
            }
            const gates::fused_matrix& m = *step.fused;
            ASSERT_LE(m.qubits, size);
            ASSERT_EQ(m.positions, step.mask);
            const unsigned long d = m.dimension();
            for (unsigned long r = 0; r < d; ++r)
                for (unsigned long s = 0; s < d; ++s) {
                    cd dot = 0;
                    for (unsigned long c = 0; c < d; ++c) dot += m.entries[r * d + c] * std::conj(m.entries[s * d + c]);
                    ASSERT_NEAR(std::abs(dot - cd(r == s ? 1.0 : 0.0)), 0.0, 1e-8);
                }
        }
        if (size == 1) {
            EXPECT_GT(wide, 0U);  // CNOT, CCX and friends left alone
        }
    }
}

// Phases, Z, Rz and ZCON on the same positions fuse into one diagonal.
TEST(fuser, DiagonalRunsFuseIntoADiagonal) {
    const std::vector<gate_unit> records = {gate_unit("P", 0, 30.0), gate_unit("ZCON", 0, 1), gate_unit("T", 1),
                                            gate_unit("Rz", 2, 75.0), gate_unit("S", 2),     gate_unit("ZCON", 2, 1),
                                            gate_unit("Z", 0)};
    const gates::fused_run fused = gates::fuseGates(compiledGates(records, 3), {3, 1});
    ASSERT_EQ(fused.steps.size(), 1U);
    ASSERT_EQ(fused.matrices.size(), 1U);
    EXPECT_TRUE(fused.matrices.front()->diagonal);
}

// Two-qubit blocks that share a qubit, each dense, become one dense product
// of three positions (one pass where there were two); past three positions
// a product keeps to the row width, so a fourth qubit starts another.
TEST(fuser, BlocksSharingAQubitFuseDenseUpToThreePositions) {
    const std::vector<gate_unit> block01 = {gate_unit("H", 0), gate_unit("Ry", 1, 40.0), gate_unit("CNOT", 0, 1),
                                            gate_unit("Rx", 0, 20.0), gate_unit("Ry", 1, 70.0)};
    std::vector<gate_unit> records = block01;
    records.insert(records.end(), {gate_unit("CNOT", 1, 2), gate_unit("Ry", 1, 10.0), gate_unit("H", 2)});
    const gates::fused_run three = gates::fuseGates(compiledGates(records, 4), {4, 4});
    ASSERT_EQ(three.steps.size(), 1U);
    EXPECT_EQ(three.matrices.front()->qubits, 3U);
    EXPECT_EQ(three.matrices.front()->rowWidth, 8U);
    EXPECT_GT(gates::fuseGates(compiledGates(records, 4), {4, 4, 2}).steps.size(), 1U);

    records.insert(records.end(), {gate_unit("CNOT", 2, 3), gate_unit("H", 3)});
    const gates::fused_run four = gates::fuseGates(compiledGates(records, 4), {4, 4});
    ASSERT_EQ(four.steps.size(), 2U);
    EXPECT_EQ(four.steps.front().positions() | four.steps.back().positions(), 0xFUL);
}

// A layer names every qubit: each gate's layer has the others idle.
circuit oneGateALayer(const std::vector<gate_unit>& ops, unsigned long n) {
    std::vector<circuit_unit> layers;
    for (const gate_unit& g : ops) {
        std::vector<gate_unit> layer{g};
        for (unsigned long q = 0; q < n; ++q)
            if (q != g.getQubit() && (g.getQubitNum() < 2 || q != g.getQubit2()) &&
                (g.getQubitNum() < 3 || q != g.getQubit3()))
                layer.emplace_back("I", q);
        layers.push_back(circuit_unit(layer));
    }
    return circuit(layers);
}

// A short product of permutations and phases is left as its gates, in an
// order equivalent to theirs: the same state, bit for bit, as the gates in
// order. A long one, or one with a mixing gate, is fused.
TEST(fuser, ShortPermutationsStayGateByGate) {
    const std::vector<gate_unit> records = {gate_unit("CNOT", 0, 1), gate_unit("CCX", 0, 1, 2), gate_unit("S", 1),
                                            gate_unit("CNOT", 2, 3)};
    const std::vector<gates::compiled_gate> compiled = compiledGates(records, 4);
    const gates::fused_run fused = gates::fuseGates(compiled, {4, 4});
    EXPECT_TRUE(fused.matrices.empty());
    ASSERT_EQ(fused.steps.size(), compiled.size());
    std::mt19937_64 rng(3);
    const state_vector start = randomState(4, rng);
    state_vector expected = start, actual = start;
    gates::runGates(expected, compiled);
    gates::runGates(actual, fused.steps);
    EXPECT_EQ(actual, expected);

    std::vector<gate_unit> longer = records;
    longer.insert(longer.end(), {gate_unit("X", 2), gate_unit("CCX", 3, 2, 0)});
    EXPECT_EQ(gates::fuseGates(compiledGates(longer, 4), {4, 4}).matrices.size(), 1U);
    const std::vector<gates::compiled_gate> mixed = compiledGates({gate_unit("H", 0), gate_unit("CNOT", 0, 1)}, 2);
    EXPECT_EQ(gates::fuseGates(mixed, {4, 4}).matrices.size(), 1U);
}

// One-qubit gates that come before any other gate on their qubit become the
// starting product state; every other gate is left to run, in order.
TEST(first_layer, FoldsOnlyTheGatesBeforeAnyOtherOnTheirQubit) {
    const std::vector<gate_unit> records = {gate_unit("H", 0),        gate_unit("Ry", 1, 40.0), gate_unit("CNOT", 0, 1),
                                            gate_unit("H", 1),        gate_unit("T", 2),        gate_unit("X", 2),
                                            gate_unit("Rz", 0, 70.0), gate_unit("P", 3, 25.0)};
    const std::vector<gates::compiled_gate> compiled = compiledGates(records, 4);
    state_vector folded = state_space::zeroState(4), exact = folded;
    const std::vector<gates::compiled_gate> rest = foldFirstLayer(folded, compiled);
    ASSERT_EQ(rest.size(), 3U);  // the CNOT, then H on qubit 1 and Rz on qubit 0 after it
    EXPECT_EQ(__builtin_popcountl(rest[0].positions()), 2);
    gates::runGates(folded, rest);
    gates::runGates(exact, compiled);
    for (std::size_t k = 0; k < exact.size(); ++k) EXPECT_NEAR(std::abs(folded[k] - exact[k]), 0.0, 1e-15) << k;

    // Nothing to fold: the state stays |0...0> and every gate stays.
    state_vector untouched = state_space::zeroState(2);
    const std::vector<gates::compiled_gate> entangling = compiledGates({gate_unit("CNOT", 0, 1)}, 2);
    EXPECT_EQ(foldFirstLayer(untouched, entangling).size(), 1U);
    EXPECT_EQ(untouched, state_space::zeroState(2));
}

// Circuits that open with one-qubit layers, as most programs do: the fused
// run, whose first layer is the product state, against the exact run, on the
// amplitudes themselves (phases included), on one CPU and shared between two.
class first_layer_runs : public testing::TestWithParam<unsigned long> {};

TEST_P(first_layer_runs, StateAgreesWithTheExactRun) {
    const unsigned long n = GetParam();
    std::mt19937_64 rng(n);
    std::vector<gate_unit> ops;
    for (unsigned long q = 0; q < n; ++q)
        for (unsigned long k = rng() % 4; k > 0; --k)
            ops.push_back(rng() % 2 ? gate_unit(kOneQubit[1 + rng() % 11], q)
                                    : gate_unit(kAngled[rng() % 4], q, static_cast<double>(rng() % 720)));
    for (unsigned long k = 0; k < 3 * n; ++k) {
        const unsigned long a = rng() % n, b = (a + 1 + rng() % std::max(1UL, n - 1)) % n;
        const unsigned long c = (std::max(a, b) + 1 + rng() % std::max(1UL, n - 2)) % n;
        if (n < 2 || rng() % 3 == 0)
            ops.emplace_back(kOneQubit[1 + rng() % 11], a);
        else if (n < 3 || c == a || c == b || rng() % 2)
            ops.emplace_back(kTwoQubit[rng() % 3], a, b);
        else
            ops.emplace_back("CCX", a, b, c);
    }
    const circuit c = oneGateALayer(ops, n);
    for (int cpus : {1, 2}) {
        cpu_limit limit(cpus);
        sliced_run exact(c, fusion_choice::off), fused(c, fusion_choice::on);
        exact.execute();
        fused.execute();
        const state_vector expected = exact.takeStateVector(), actual = fused.takeStateVector();
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k)
            ASSERT_NEAR(std::abs(actual[k] - expected[k]), 0.0, TOLERANCE) << "basis state " << k << ", " << cpus;
    }
}

// Below, at and above the twelve positions whose products a block holds.
INSTANTIATE_TEST_SUITE_P(engine, first_layer_runs, testing::Values(1UL, 5UL, 12UL, 13UL, 19UL));

// The QFT as the race writes it: a random product state, then H and every
// controlled phase as P, CNOT, P, CNOT, P.
circuit qft(unsigned long n) {
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> degrees(0, 360);
    std::vector<gate_unit> ops;
    for (unsigned long q = 0; q < n; ++q) {
        ops.emplace_back("Ry", q, degrees(rng) / 2);
        ops.emplace_back("Rz", q, degrees(rng));
    }
    for (unsigned long target = 0; target < n; ++target) {
        ops.emplace_back("H", target);
        for (unsigned long control = target + 1; control < n; ++control) {
            const double half = 90.0 / std::pow(2.0, static_cast<double>(control - target));
            ops.emplace_back("P", control, half);
            ops.emplace_back("CNOT", control, target);
            ops.emplace_back("P", target, -half);
            ops.emplace_back("CNOT", control, target);
            ops.emplace_back("P", target, half);
        }
    }
    return oneGateALayer(ops, n);
}

std::vector<double> probabilitiesOf(const circuit& c, fusion_choice fusion) {
    sliced_run run(c, fusion);
    run.execute();
    return run.probabilities();
}

class fused_qft : public testing::TestWithParam<unsigned long> {};

TEST_P(fused_qft, AgreesWithTheExactRun) {
    const circuit c = qft(GetParam());
    const std::vector<double> exact = probabilitiesOf(c, fusion_choice::off);
    const std::vector<double> fused = probabilitiesOf(c, fusion_choice::on);
    ASSERT_EQ(fused.size(), exact.size());
    for (std::size_t k = 0; k < exact.size(); ++k) ASSERT_NEAR(fused[k], exact[k], TOLERANCE) << "basis state " << k;
}

INSTANTIATE_TEST_SUITE_P(engine, fused_qft, testing::Values(3UL, 11UL, 20UL));

// Below the threshold the default is the exact run, bit for bit; from it on
// the default fuses.
TEST(fusion_choice, DefaultIsExactBelowTheThreshold) {
    const unsigned long below = gates::FUSION_MIN_QUBITS - 1;
    const circuit small = qft(below);
    sliced_run byDefault(small);
    byDefault.execute();
    EXPECT_EQ(byDefault.probabilities(), probabilitiesOf(small, fusion_choice::off));

    const circuit large = qft(gates::FUSION_MIN_QUBITS);
    sliced_run fusedByDefault(large);
    fusedByDefault.execute();
    EXPECT_EQ(fusedByDefault.probabilities(), probabilitiesOf(large, fusion_choice::on));
}

// Any choice of the next ready gate gives every gate once, each after
// every earlier gate it shares a position with.
TEST(dependency_order, KeepsEveryGateAfterTheGatesItShares) {
    std::mt19937_64 rng(11);
    std::vector<unsigned long> positions(300);
    for (unsigned long& p : positions) p = (1UL << (rng() % 12)) | (rng() % 3 == 0 ? 1UL << (rng() % 12) : 0UL);
    positions[7] = 0;  // a global phase waits for nothing
    for (int choice = 0; choice < 3; ++choice) {
        const std::vector<std::size_t> order =
            gates::dependencyOrder(positions, [&](const std::vector<std::size_t>& ready) -> std::size_t {
                return choice == 0 ? 0 : choice == 1 ? ready.size() - 1 : rng() % ready.size();
            });
        ASSERT_EQ(order.size(), positions.size());
        std::vector<std::size_t> placedAt(positions.size(), positions.size());
        for (std::size_t k = 0; k < order.size(); ++k) placedAt[order[k]] = k;
        for (std::size_t i = 0; i < positions.size(); ++i) {
            ASSERT_LT(placedAt[i], positions.size()) << "gate " << i << " left out";
            for (std::size_t j = 0; j < i; ++j) {
                if (positions[i] & positions[j]) {
                    ASSERT_LT(placedAt[j], placedAt[i]) << "gates " << j << ", " << i;
                }
            }
        }
    }
}

}  // namespace
