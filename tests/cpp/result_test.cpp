#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <ostream>
#include <random>
#include <vector>
#include <string>

#include "core/result.h"

namespace {

struct CountsCase {
    std::map<std::string, double> probabilities;
    int shots;
    std::map<std::string, int> expected;
};

void PrintTo(const CountsCase& c, std::ostream* os) {
    *os << c.shots << " shots over";
    for (const auto& [key, p] : c.probabilities) *os << ' ' << key << '=' << p;
}

class ResultCounts : public ::testing::TestWithParam<CountsCase> {};

TEST_P(ResultCounts, DistributesShots) {
    Result r;
    r.set_probabilities(GetParam().probabilities);
    r.shots = GetParam().shots;
    EXPECT_EQ(r.get_counts(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResultCounts,
    ::testing::Values(
        CountsCase{{{"00", 0.5}, {"11", 0.5}}, 1024, {{"00", 512}, {"11", 512}}},
        // Both round up; the single missing shot goes to the smaller key.
        CountsCase{{{"0", 0.5}, {"1", 0.5}}, 3, {{"0", 2}, {"1", 1}}},
        // Sum of one half: the shortfall goes round-robin over present keys.
        CountsCase{{{"0", 0.25}, {"1", 0.25}}, 8, {{"0", 4}, {"1", 4}}},
        // A key below one half expected count stays absent.
        CountsCase{{{"0", 0.01}, {"1", 0.49}}, 10, {{"1", 10}}},
        // Every expected count below one half: all shots to the most probable key.
        CountsCase{{{"00", 0.25}, {"01", 0.25}, {"10", 0.25}, {"11", 0.25}}, 1, {{"00", 1}}},
        CountsCase{{{"00", 0.1}, {"01", 0.3}, {"10", 0.2}}, 1, {{"01", 1}}},
        // Nothing to count.
        CountsCase{{}, 5, {}},
        CountsCase{{{"0", 0.0}, {"1", 0.0}}, 5, {}},
        CountsCase{{{"0", 0.5}, {"1", 0.5}}, 0, {}},
        CountsCase{{{"0", 0.5}, {"1", 0.5}}, -4, {}}));

TEST(Result, DefaultsAreDefined) {
    Result r;
    EXPECT_TRUE(r.probabilities().empty());
    EXPECT_TRUE(r.states().empty());
    EXPECT_EQ(r.shots, Result::repeat);
    EXPECT_EQ(Result::repeat, 1024);
}

TEST(Result, CountsAddUpToShots) {
    Result r;
    r.set_probabilities({{"000", 0.1}, {"001", 0.2}, {"010", 0.05}, {"111", 0.65}});
    for (int shots : {1, 7, 13, 100, 1023}) {
        r.counts.clear();
        r.shots = shots;
        auto counts = r.get_counts();
        int total = std::accumulate(counts.begin(), counts.end(), 0,
                                    [](int s, const auto& e) { return s + e.second; });
        EXPECT_EQ(total, shots) << shots;
    }
}

TEST(Result, CountsAreCachedOnce) {
    Result r;
    r.set_probabilities({{"0", 1.0}});
    r.shots = 4;
    EXPECT_EQ(r.get_counts(), (std::map<std::string, int>{{"0", 4}}));
    r.set_probabilities({{"1", 1.0}});
    EXPECT_EQ(r.get_counts(), (std::map<std::string, int>{{"0", 4}}));
}

TEST(Result, HugeProbabilitiesDoNotOverflow) {
    Result r;
    r.set_probabilities({{"0", 1e300}, {"1", -5.0}});
    r.shots = 10;
    auto counts = r.get_counts();
    EXPECT_EQ(counts.count("1"), 0u);
    EXPECT_GT(counts.at("0"), 0);
}

TEST(Result, RandomReadingEdges) {
    Result r;
    EXPECT_EQ(r.get_random_reading(), "");
    r.set_probabilities({{"0", 0.0}, {"1", 0.0}});
    EXPECT_EQ(r.get_random_reading(), "1");
}

TEST(Result, RandomReadingFollowsWeights) {
    Result r;
    r.set_probabilities({{"0", 0.25}, {"1", 0.75}});
    int ones = 0;
    const int draws = 20000;
    for (int i = 0; i < draws; ++i) ones += r.get_random_reading() == "1";
    // Five standard deviations of a binomial(20000, 0.75) is about 306.
    EXPECT_NEAR(ones, 15000, 310);
}

// A run's result keeps its dense vector and makes keys only when asked: it
// must read exactly as the map it stands for, small entries left out and the
// shortfall on the greatest key kept.
TEST(Result, DenseDistributionReadsAsItsKeyedMap) {
    std::mt19937_64 rng(3);
    for (int width : {0, 1, 3, 6}) {
        std::vector<double> dense(std::size_t(1) << width);
        for (double& p : dense) p = rng() % 3 == 0 ? 1e-12 : std::uniform_real_distribution<double>(0, 1)(rng);
        for (double shortfall : {0.0, 5e-11, 3e-6, -2e-4}) {
            Result lazy, keyed;
            lazy.set_distribution(dense, shortfall);
            std::map<std::string, double> expected;
            for (std::size_t k = 0; k < dense.size(); ++k)
                if (dense[k] > 1e-10) expected[keyed.to_string(static_cast<long>(k), width)] = dense[k];
            if (std::fabs(shortfall) > 1e-10 && !expected.empty()) expected.rbegin()->second += shortfall;
            keyed.set_probabilities(expected);
            EXPECT_EQ(lazy.key_count(), expected.size());
            for (int shots : {1, 5, 1000}) {
                lazy.counts.clear();
                keyed.counts.clear();
                lazy.shots = keyed.shots = shots;
                EXPECT_EQ(lazy.get_counts(), keyed.get_counts()) << width << ' ' << shortfall << ' ' << shots;
            }
            EXPECT_EQ(lazy.probabilities(), expected) << width << ' ' << shortfall;
            EXPECT_EQ(*lazy.probability_vector(), dense);
        }
    }
}

TEST(Result, ToString) {
    Result r;
    EXPECT_EQ(r.to_string(5, 4), "0101");
    EXPECT_EQ(r.to_string(0, 0), "");
    EXPECT_EQ(r.to_string(1, 2), "01");
    EXPECT_EQ(r.to_string(6, 3), "110");
}

}  // namespace
