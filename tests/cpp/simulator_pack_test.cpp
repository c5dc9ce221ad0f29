// Packing a probability vector into bit-string keys.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <random>
#include <set>
#include <string>
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

TEST(PackProbabilities, SmallKeysAreDroppedAndOnlyTheWholeShortfallGoesToTheGreatestKey) {
    BasicSimulator sim;
    // The whole sums to 1 - 2e-10: "01" (1e-10) and "11" are left out, and
    // only the whole's shortfall lands on "10", never their weight.
    packed dropped = sim.pack_probabilities({0.5 - 1e-11, 1e-10, 0.5 - 3e-10, 1e-11}, {});
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_DOUBLE_EQ(dropped.at("00"), 0.5 - 1e-11);
    EXPECT_NEAR(dropped.at("10"), 0.5 - 1e-10, 1e-16);  // the old packing gave 0.5 + 1e-11

    packed kept = sim.pack_probabilities({0.5, 0.5 - 5e-11}, {});
    EXPECT_EQ(kept.at("1"), 0.5 - 5e-11);  // shortfall within the threshold

    // Entries below the floor that share a key are summed before the floor:
    // 2^12 entries of 1e-11 make one key of 4.096e-8.
    std::vector<double> spread(std::size_t(1) << 13, 1e-11);
    spread[0] = 1 - 4096 * 1e-11 - 4095 * 1e-11;  // key "0" holds it and 4095 small ones
    packed summed = sim.pack_probabilities(spread, {0});
    ASSERT_EQ(summed.size(), 2u);
    EXPECT_NEAR(summed.at("1"), 4096 * 1e-11, 1e-20);
    EXPECT_NEAR(summed.at("0") + summed.at("1"), 1.0, 1e-14);
}

TEST(PackProbabilities, AllBelowThresholdGivesEmptyMap) {
    BasicSimulator sim;
    EXPECT_TRUE(sim.pack_probabilities({1e-11, 0.0}, {}).empty());
}

// The packing as written out: a key string per index, summed in a map, then
// keys at or below the floor dropped and the whole's shortfall added to the
// greatest key left.
packed packByKeyStrings(const probabilities& p, const std::set<int>& mqubits) {
    packed out;
    int n = static_cast<int>(std::log(static_cast<double>(p.size())) / 0.6931471805599453);
    double sum = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        std::string key;
        for (int k = 0; k < n; ++k)
            if (mqubits.empty() || mqubits.count(k)) key += ((i >> (n - 1 - k)) & 1) ? '1' : '0';
        out[key] += p[i];
        sum += p[i];
    }
    for (auto it = out.begin(); it != out.end();) it = std::fabs(it->second) > 1e-10 ? std::next(it) : out.erase(it);
    if (std::fabs(1 - sum) > 1e-10 && !out.empty()) out.rbegin()->second += 1 - sum;
    return out;
}

class PackAgainstKeyStrings : public testing::TestWithParam<int> {};

// Same keys and bit-identical sums for random vectors (with dropped entries)
// and random selections of qubits, in range or not.
TEST_P(PackAgainstKeyStrings, SameMapToTheLastBit) {
    const int n = GetParam();
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> weight(0.0, 1.0);
    probabilities p(std::size_t(1) << n);
    for (double& x : p) x = rng() % 4 == 0 ? 1e-12 : weight(rng);
    double total = 0;
    for (double x : p) total += x;
    for (double& x : p) x /= total;
    for (int trial = 0; trial < 8; ++trial) {
        std::set<int> mqubits;
        for (int k = -1; k <= n; ++k)
            if (rng() % 3 == 0) mqubits.insert(k);
        BasicSimulator sim;
        EXPECT_EQ(sim.pack_probabilities(p, mqubits), packByKeyStrings(p, mqubits)) << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PackAgainstKeyStrings, testing::Values(0, 1, 2, 5, 9, 12));

}  // namespace

namespace {

// The dense marginal holds, at index k, what the packed map holds for the
// k-th key (no entry here is small enough to be dropped).
TEST(MarginalProbabilities, AgreesWithThePackedKeys) {
    BasicSimulator sim;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> weight(0.01, 1.0);
    probabilities p(32);
    double total = 0;
    for (double& x : p) total += (x = weight(rng));
    for (double& x : p) x /= total;
    for (const std::set<int>& mqubits : std::vector<std::set<int>>{{}, {0}, {4}, {1, 3}, {0, 2, 4}, {9}, {0, 1, 2, 3, 4}}) {
        const probabilities dense = sim.marginal_probabilities(p, mqubits);
        const packed keyed = sim.pack_probabilities(p, mqubits);
        ASSERT_EQ(dense.size(), keyed.size());
        std::size_t k = 0;
        for (const auto& [key, value] : keyed) {
            EXPECT_EQ(std::stoull("0" + key, nullptr, 2), k);
            EXPECT_NEAR(dense[k++], value, 1e-12) << key;
        }
    }
    EXPECT_EQ(sim.marginal_probabilities(p, {}), p);
    EXPECT_TRUE(sim.marginal_probabilities({}, {0}).empty());
}

}  // namespace
