// Sums by key against the plain loop that adds every term where it belongs:
// the same doubles to the last bit, whichever way the keys are found.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/space/key_sums.h"

namespace {

struct key_case {
    const char* name;
    unsigned long bits;                   // 2^bits terms
    std::vector<unsigned long> positions;  // the key's bits, top bit first
    unsigned long offset;
};

class key_sums_order : public testing::TestWithParam<key_case> {};

TEST_P(key_sums_order, MatchThePlainLoop) {
    const key_case c = GetParam();
    std::mt19937_64 rng(c.bits * 31 + c.positions.size());
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> terms(1UL << c.bits);
    for (double& t : terms) t = uniform(rng) * uniform(rng);  // many magnitudes, so order shows in rounding

    std::vector<double> expected(1UL << c.positions.size(), 0.0);
    for (unsigned long k = 0; k < terms.size(); ++k)
        expected[key_sums::keyOf(c.offset + k, c.positions)] += terms[k];

    std::vector<double> actual(expected.size(), 0.0);
    key_sums::sumByKey(terms.size(), c.positions, c.offset, actual, [&](unsigned long k) { return terms[k]; });
    for (std::size_t key = 0; key < expected.size(); ++key) ASSERT_EQ(actual[key], expected[key]) << "key " << key;
}

INSTANTIATE_TEST_SUITE_P(
    engine, key_sums_order,
    testing::Values(key_case{"top_bit", 14, {13}, 0}, key_case{"high_bits_unordered", 14, {9, 13, 11}, 0},
                    key_case{"low_and_high_bits", 14, {0, 12, 5, 8}, 0},
                    key_case{"runs_shorter_than_a_byte", 14, {3, 12, 6}, 0}, key_case{"no_bits", 12, {}, 0},
                    key_case{"above_the_slice", 12, {13, 10}, 1UL << 13}, key_case{"shorter_than_a_run", 6, {9}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
