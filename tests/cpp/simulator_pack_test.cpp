// Packing a probability vector into bit-string keys.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "simulator/basic_simulator.h"

namespace {

using probabilities = std::vector<double>;
using packed = std::map<std::string, double>;

TEST(PackProbabilities, EmptyVectorGivesEmptyMap) {
    BasicSimulator sim;
    EXPECT_TRUE(sim.pack_probabilities({}, {}).empty());
    EXPECT_TRUE(sim.pack_probabilities({}, {0, 1}).empty());
}

TEST(PackProbabilities, QubitZeroIsTheFirstCharacter) {
    BasicSimulator sim;
    // Index 1 of two qubits: qubit 1 set, qubit 0 clear.
    EXPECT_EQ(sim.pack_probabilities({0, 1, 0, 0}, {}), (packed{{"01", 1.0}}));
    EXPECT_EQ(sim.pack_probabilities({0, 0, 1, 0}, {}), (packed{{"10", 1.0}}));
    EXPECT_EQ(sim.pack_probabilities({0.5, 0.5}, {}), (packed{{"0", 0.5}, {"1", 0.5}}));
}

TEST(PackProbabilities, MarginalsOverTheSelectedQubits) {
    BasicSimulator sim;
    probabilities p{0.1, 0.2, 0.3, 0.4};  // keys 00, 01, 10, 11
    packed first = sim.pack_probabilities(p, {0});
    EXPECT_NEAR(first.at("0"), 0.3, 1e-15);
    EXPECT_NEAR(first.at("1"), 0.7, 1e-15);
    packed second = sim.pack_probabilities(p, {1, 7, -1});
    EXPECT_NEAR(second.at("0"), 0.4, 1e-15);
    EXPECT_NEAR(second.at("1"), 0.6, 1e-15);
    packed none = sim.pack_probabilities(p, {5});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_NEAR(none.at(""), 1.0, 1e-15);
}

TEST(PackProbabilities, SmallEntriesAreDroppedAndTheShortfallGoesToTheGreatestKey) {
    BasicSimulator sim;
    packed dropped = sim.pack_probabilities({0.5 - 1e-11, 1e-10, 0.5 - 1e-10, 1e-11}, {});
    // Kept: "00" and "10"; the shortfall of 1.1e-10 exceeds 1e-10 and lands on "10".
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_DOUBLE_EQ(dropped.at("00"), 0.5 - 1e-11);
    EXPECT_NEAR(dropped.at("10"), 0.5 + 1e-11, 1e-16);

    packed kept = sim.pack_probabilities({0.5, 0.5 - 5e-11}, {});
    EXPECT_EQ(kept.at("1"), 0.5 - 5e-11);  // shortfall within the threshold
}

TEST(PackProbabilities, AllBelowThresholdGivesEmptyMap) {
    BasicSimulator sim;
    EXPECT_TRUE(sim.pack_probabilities({1e-11, 0.0}, {}).empty());
}

}  // namespace
