// The one-vector run of every measurement branch against the branching runs:
// the same probabilities to the last bit, and the same refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <random>
#include <set>
#include <vector>

#include "engine/run/sliced_run.h"
#include "reference/state_manager.h"
#include "engine_test_gates.h"

namespace {

const char* const kFixed[] = {"H", "X", "Y", "Z", "X90", "Y90", "Z90", "S", "Sd", "T", "Td", "I"};
const char* const kAngled[] = {"Rx", "Ry", "Rz", "P"};
const char* const kPairs[] = {"CNOT", "YCON", "ZCON"};
const RELATION kRelations[] = {EQUAL, NOT_EQUAL, LESS, GREATER, LESS_EQUAL, GREATER_EQUAL};

// Random circuits of one operation per layer (the other live qubits idle):
// gates, measurements into bits that may be written twice, and gates under
// conditions on one to three bits, written or not, listed twice at times.
class circuit_maker {
public:
    circuit_maker(unsigned long qubits, unsigned long clbits, unsigned seed)
        : n(qubits), bits(clbits), rng(seed) {}

    circuit make(std::size_t operations) {
        std::vector<circuit_unit> layers;
        for (std::size_t i = 0; i < operations && live().size() > 1; ++i) layers.push_back(layer(next()));
        return circuit(layers, bits);
    }

private:
    std::vector<unsigned long> live() const {
        std::vector<unsigned long> out;
        for (unsigned long q = 0; q < n; ++q)
            if (!measured.count(q)) out.push_back(q);
        return out;
    }
    unsigned long pick(const std::vector<unsigned long>& from) { return from[rng() % from.size()]; }

    gate_unit gate() {
        std::vector<unsigned long> free = live();
        const unsigned long a = pick(free);
        const unsigned kind = rng() % 10;
        if (kind < 4) return gate_unit(kFixed[rng() % 12], a);
        if (kind < 7) return gate_unit(kAngled[rng() % 4], a, std::uniform_real_distribution<double>(-400, 400)(rng));
        free.erase(std::find(free.begin(), free.end(), a));
        const unsigned long b = pick(free);
        if (kind < 9 || free.size() < 2) return gate_unit(kPairs[rng() % 3], a, b);
        free.erase(std::find(free.begin(), free.end(), b));
        return gate_unit("CCX", a, b, pick(free));
    }

    condition someCondition() {
        std::vector<unsigned long> read;
        const unsigned long count = 1 + rng() % 3;
        for (unsigned long k = 0; k < count; ++k) read.push_back(rng() % bits);
        const int value = static_cast<int>(rng() % ((2UL << count) + 1)) - 1;
        return condition(read, kRelations[rng() % 6], value);
    }

    gate_unit next() {
        const unsigned kind = rng() % 10;
        if (kind < 3) {
            const unsigned long q = pick(live());
            measured.insert(q);
            return measure(q, rng() % bits);
        }
        gate_unit g = gate();
        if (kind < 7) g.setCondition(someCondition());
        return g;
    }

    circuit_unit layer(const gate_unit& op) const {
        std::vector<gate_unit> gates{op};
        const unsigned long used[] = {op.getQubit(), op.getQubit2(), op.getQubit3()};
        const auto end = used + op.getQubitNum();
        for (unsigned long q : live())
            if (std::find(used, end, q) == end) gates.emplace_back("I", q);
        return circuit_unit(gates);
    }

    unsigned long n, bits;
    std::mt19937 rng;
    std::set<unsigned long> measured;
};

// Exact unless asked otherwise: the branching runs never fuse.
std::vector<double> slicedProbabilities(const circuit& c, fusion_choice fusion = fusion_choice::off) {
    sliced_run run(c, fusion);
    run.execute();
    return run.probabilities();
}

class SlicedRun : public ::testing::TestWithParam<unsigned> {};

TEST_P(SlicedRun, MatchesBothBranchingRunsBitForBit) {
    const unsigned seed = GetParam();
    const unsigned long n = 3 + seed % 6;
    const circuit c = circuit_maker(n, 1 + seed % 4, seed).make(40);
    state_manager history, inPlace;
    history.execute(c);
    inPlace.execute_inplace(c);
    const std::vector<double> sliced = slicedProbabilities(c);
    EXPECT_EQ(sliced, history.getProbabilities());
    EXPECT_EQ(sliced, inPlace.getProbabilities());
}

// Conditioned gates carry their outcomes' controls into the fused matrices.
TEST_P(SlicedRun, FusedAgreesWithinRounding) {
    const unsigned seed = GetParam();
    const circuit c = circuit_maker(3 + seed % 10, 1 + seed % 4, seed).make(60);
    const std::vector<double> exact = slicedProbabilities(c), fused = slicedProbabilities(c, fusion_choice::on);
    ASSERT_EQ(fused.size(), exact.size());
    for (std::size_t k = 0; k < exact.size(); ++k) ASSERT_NEAR(fused[k], exact[k], 1e-12) << "basis state " << k;
}

INSTANTIATE_TEST_SUITE_P(RandomCircuits, SlicedRun, ::testing::Range(0U, 60U));

TEST(SlicedRunLarge, ThreadedTilesMatchTheBranchingRun) {
    // 2^18 amplitudes: several tiles, shared between threads.
    const circuit c = circuit_maker(18, 3, 7).make(14);
    state_manager inPlace;
    inPlace.execute_inplace(c);
    EXPECT_EQ(slicedProbabilities(c), inPlace.getProbabilities());
}

TEST(SlicedRunState, IsNormalisedWithoutMeasurementsAndEmptyAfterOne) {
    const circuit pure({circuit_unit({gate_unit("H", 0), gate_unit("Rx", 1, 30.0)})});
    sliced_run run(pure);
    run.execute();
    state_manager manager;
    manager.execute_inplace(pure);
    EXPECT_EQ(run.takeStateVector(), manager.getStateVector());

    sliced_run measured(circuit({circuit_unit({gate_unit("H", 0)}), circuit_unit({measure(0, 0)})}, 1));
    measured.execute();
    EXPECT_TRUE(measured.takeStateVector().empty());
}

// What the branching run refuses, the one-vector run refuses too.
TEST(SlicedRunRefusals, AsTheBranchingRun) {
    const circuit_unit split({gate_unit("H", 0), gate_unit("H", 1)});
    const std::vector<circuit> refused = {
        circuit({split, circuit_unit({measure(0, 0), gate_unit("I", 1)}), circuit_unit({gate_unit("X", 0)})}, 1),
        circuit({split, circuit_unit({measure(0, 0), gate_unit("I", 1)}),
                 circuit_unit({when(measure(1, 1), {0}, EQUAL, 1)})},
                2),
        circuit({circuit_unit({when(gate_unit("X", 0), {3}, EQUAL, 1)})}, 1),
        circuit({circuit_unit({measure(0, 5)})}, 1),
    };
    for (const circuit& c : refused) {
        state_manager manager;
        EXPECT_THROW(manager.execute_inplace(c), std::exception);
        sliced_run run(c);
        EXPECT_THROW(run.execute(), std::exception);
    }
    // A conditioned measurement that no branch satisfies does nothing.
    const circuit never({split, circuit_unit({measure(0, 0), gate_unit("I", 1)}),
                         circuit_unit({when(measure(1, 1), {0}, GREATER, 1)})},
                        2);
    state_manager manager;
    manager.execute_inplace(never);
    EXPECT_EQ(slicedProbabilities(never), manager.getProbabilities());
}

}  // namespace
