// Branching runs: measurement splits, conditioned gates, the condition cache.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <exception>
#include <string>
#include <vector>

#include "reference/state_manager.h"
#include "engine_test_gates.h"

namespace {

using cd = std::complex<double>;
using state_vector = std::vector<cd>;

const double kC = 0.707106781173095;  // H applied to a basis state

circuit_unit layer(std::vector<gate_unit> gates) { return circuit_unit(gates); }

// Both runs must agree on everything but the histories.
class engine_run : public testing::TestWithParam<bool> {
protected:
    void run(const circuit& c) {
        if (GetParam())
            manager.execute(c);
        else
            manager.execute_inplace(c);
    }
    const quantum_state& branch(std::size_t i) const { return manager.getBranches().at(i); }
    state_vector current(std::size_t i) const { return branch(i).getCurrentQuantumState(); }

    state_manager manager;
};

INSTANTIATE_TEST_SUITE_P(engine, engine_run, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "history" : "inplace"); });

TEST_P(engine_run, MeasurementSplitsWithoutRenormalising) {
    run(circuit({layer({gate_unit("H", 0)}), layer({measure(0, 0)})}, 1));
    ASSERT_EQ(manager.getBranches().size(), 2u);
    EXPECT_EQ(current(0), (state_vector{kC, 0.0}));
    EXPECT_EQ(current(1), (state_vector{0.0, kC}));
    EXPECT_EQ(branch(0).getClbitValues(), std::vector<int>{0});
    EXPECT_EQ(branch(1).getClbitValues(), std::vector<int>{1});
    EXPECT_EQ(manager.getProbabilities(), (std::vector<double>{0.4999999999809753, 0.4999999999809753}));
    EXPECT_TRUE(manager.getStateVector().empty());
}

TEST_P(engine_run, SingleBranchStateIsRenormalised) {
    run(circuit({layer({gate_unit("H", 0)})}));
    const state_vector v = manager.getStateVector();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], cd(0.7071067811865476, 0));
    EXPECT_EQ(v[1], cd(0.7071067811865476, 0));
}

TEST_P(engine_run, ConditionedGateActsOnSatisfyingBranchesOnly) {
    run(circuit({layer({gate_unit("H", 0), gate_unit("I", 1)}), layer({measure(0, 0), gate_unit("I", 1)}),
                 layer({when(gate_unit("X", 1), {0}, EQUAL, 1)})},
                1));
    ASSERT_EQ(manager.getBranches().size(), 2u);
    EXPECT_EQ(current(0), (state_vector{kC, 0.0, 0.0, 0.0}));
    EXPECT_EQ(current(1), (state_vector{0.0, 0.0, 0.0, kC}));
    EXPECT_EQ(manager.getProbabilities(), (std::vector<double>{0.4999999999809753, 0, 0, 0.4999999999809753}));
}

TEST_P(engine_run, GatesOnMeasuredQubitsAreRefused) {
    const circuit_unit first = layer({gate_unit("H", 0), gate_unit("I", 1)});
    const circuit_unit second = layer({measure(0, 0), gate_unit("I", 1)});
    EXPECT_THROW(run(circuit({first, second, layer({when(gate_unit("X", 0), {0}, EQUAL, 1)})}, 1)), std::exception);
    state_manager again;
    EXPECT_THROW(again.execute_inplace(circuit({first, second, layer({measure(0, 0)})}, 1)), std::exception);
}

TEST_P(engine_run, BranchesFollowMeasurementOrder) {
    run(circuit({layer({measure(0, 0), measure(1, 1)})}, 2));
    ASSERT_EQ(manager.getBranches().size(), 4u);
    const std::vector<std::vector<int>> bits = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(branch(i).getClbitValues(), bits[i]) << i;
        double norm = 0;
        for (const cd& a : current(i)) norm += std::norm(a);
        EXPECT_EQ(norm, i == 0 ? 1.0 : 0.0) << i;
    }
}

TEST_P(engine_run, ConditionedMeasurementThrowsOnlyWhenSomeBranchSatisfiesIt) {
    const circuit_unit split = layer({gate_unit("H", 0), gate_unit("I", 1)});
    const circuit_unit m0 = layer({measure(0, 0), gate_unit("I", 1)});
    run(circuit({split, m0, layer({when(measure(1, 1), {0}, GREATER, 1)})}, 2));
    EXPECT_EQ(manager.getBranches().size(), 2u);
    state_manager other;
    EXPECT_THROW(other.execute_inplace(circuit({split, m0, layer({when(measure(1, 1), {0}, EQUAL, 1)})}, 2)),
                 std::exception);
}

TEST_P(engine_run, MeasurementTargetsOutsideTheRegisterAreRefused) {
    EXPECT_THROW(run(circuit({layer({measure(0, 1)})}, 1)), std::exception);
    state_manager other;
    EXPECT_THROW(other.execute_inplace(circuit({layer({when(gate_unit("X", 0), {3}, EQUAL, 1)})}, 1)),
                 std::exception);
}

// Teleports |1> from qubit 0 to qubit 2; every one of the four branches ends
// with qubit 2 in |1> and the amplitude (1/r)/r of two Hadamards.
TEST_P(engine_run, TeleportationGivesExactBranchProbabilities) {
    run(circuit({layer({gate_unit("X", 0), gate_unit("H", 1), gate_unit("I", 2)}),
                 layer({gate_unit("I", 0), gate_unit("CNOT", 1, 2)}),
                 layer({gate_unit("CNOT", 0, 1), gate_unit("I", 2)}),
                 layer({gate_unit("H", 0), gate_unit("I", 1), gate_unit("I", 2)}),
                 layer({measure(0, 0), measure(1, 1), gate_unit("I", 2)}),
                 layer({when(gate_unit("X", 2), {1}, EQUAL, 1)}),
                 layer({when(gate_unit("Z", 2), {0}, EQUAL, 1)})},
                2));
    const double a = kC / 1.4142135624;
    ASSERT_EQ(manager.getBranches().size(), 4u);
    const std::size_t where[] = {0b001, 0b101, 0b011, 0b111};  // (c0, c1) = 00, 10, 01, 11
    for (std::size_t i = 0; i < 4; ++i) {
        state_vector expected(8);
        expected[where[i]] = a;
        EXPECT_EQ(current(i), expected) << i;
    }
    EXPECT_EQ(manager.getProbabilities(), (std::vector<double>{0, a * a, 0, a * a, 0, a * a, 0, a * a}));
}

// A condition cached before a measurement of an unrelated bit must reach the
// branches that measurement creates.
TEST_P(engine_run, CachedConditionSeesBranchesAddedByALaterMeasurement) {
    run(circuit({layer({gate_unit("H", 0), gate_unit("H", 1), gate_unit("I", 2)}),
                 layer({measure(0, 0), gate_unit("I", 1), gate_unit("I", 2)}),
                 layer({gate_unit("I", 1), when(gate_unit("X", 2), {0}, EQUAL, 1)}),
                 layer({measure(1, 1), gate_unit("I", 2)}),
                 layer({when(gate_unit("X", 2), {0}, EQUAL, 1)})},
                2));
    ASSERT_EQ(manager.getBranches().size(), 4u);
    // Every branch with c0 = 1 got X twice, so qubit 2 is |0> everywhere.
    for (std::size_t i = 0; i < 4; ++i) {
        const state_vector v = current(i);
        for (std::size_t k = 1; k < 8; k += 2) EXPECT_EQ(v[k], cd(0, 0)) << "branch " << i << " index " << k;
    }
}

// The same with an older condition on the very bit that is measured again
// (through another qubit): the cache held a newer condition for that bit.
TEST_P(engine_run, OlderCachedConditionOnARewrittenBitIsRefreshed) {
    run(circuit({layer({gate_unit("X", 0), gate_unit("I", 1), gate_unit("I", 2)}),
                 layer({measure(0, 0), gate_unit("I", 1), gate_unit("I", 2)}),
                 layer({when(gate_unit("I", 1), {0}, EQUAL, 1), when(gate_unit("I", 2), {0}, NOT_EQUAL, 1)}),
                 layer({measure(1, 0), gate_unit("I", 2)}),
                 layer({when(gate_unit("X", 2), {0}, EQUAL, 1)})},
                1));
    // Branch 1 (q0 -> 1) satisfied "bit 0 == 1" when that was cached; the
    // second measurement rewrote its bit 0 to 0, so the X must pass it by.
    ASSERT_EQ(manager.getBranches().size(), 4u);
    EXPECT_EQ(branch(1).getClbitValues(), std::vector<int>{0});
    EXPECT_EQ(current(1), (state_vector{0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0}));
}

TEST_P(engine_run, UnknownGateIsSkipped) {
    run(circuit({layer({gate_unit("frobnicate", 0)}), layer({gate_unit("X", 0)})}));
    EXPECT_EQ(manager.getStateVector(), (state_vector{0.0, 1.0}));
}

TEST(engine_state_manager, InPlaceRunKeepsOneVectorPerBranch) {
    const circuit c({layer({gate_unit("H", 0), gate_unit("H", 1)}), layer({measure(0, 0), gate_unit("X", 1)}),
                     layer({measure(1, 1)})},
                    2);
    state_manager inPlace, withHistory;
    inPlace.execute_inplace(c);
    withHistory.execute(c);
    ASSERT_EQ(inPlace.getBranches().size(), 4u);
    for (const quantum_state& b : inPlace.getBranches()) EXPECT_EQ(b.getAllQuantumState().size(), 1u);
    // initial, three gates, two projections
    for (const quantum_state& b : withHistory.getBranches()) EXPECT_EQ(b.getAllQuantumState().size(), 6u);
    EXPECT_EQ(inPlace.getProbabilities(), withHistory.getProbabilities());
}

TEST(engine_state_manager, ConditionReadsFirstBitAsMostSignificant) {
    quantum_state s(1, 2);
    const condition two({0, 1}, EQUAL, 2);
    EXPECT_FALSE(s.check_condition(two));
    s.measure_single_qubit(0, 0);  // this branch becomes outcome 0
    quantum_state one = s.measure_single_qubit(0, 0);
    EXPECT_FALSE(one.check_condition(condition({0, 1}, EQUAL, 1)));
    EXPECT_TRUE(one.check_condition(two));
    EXPECT_TRUE(one.check_condition(condition({1, 0}, LESS, 2)));
    EXPECT_FALSE(one.check_condition(condition({0}, static_cast<RELATION>(9), 1)));
}

TEST(engine_quantum_state, RunsWithoutBranching) {
    EXPECT_THROW(quantum_state(2, state_vector(3)), const char*);
    try {
        quantum_state(2, state_vector(3));
    } catch (const char* message) {
        EXPECT_EQ(std::string(message), "the number of qubit is NOT consistent.");
    }

    quantum_state s(1);
    const circuit flip({layer({gate_unit("X", 0)})});
    EXPECT_TRUE(s.execute(flip));
    EXPECT_TRUE(s.execute(flip));
    EXPECT_EQ(s.getAllQuantumState().size(), 3u);
    EXPECT_EQ(s.measureAll(), (std::vector<std::vector<double>>{{1, 0}, {0, 1}, {1, 0}}));
    EXPECT_TRUE(s.executeInitial(flip));
    EXPECT_EQ(s.getAllQuantumState().size(), 2u);
    EXPECT_EQ(s.measure(), (std::vector<double>{0, 1}));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(s.execute(circuit({layer({measure(0, 0)})})));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "something wrong in execute circuit unit\n");
    EXPECT_THROW(quantum_state().getCurrentQuantumState(), std::exception);
}

}  // namespace
