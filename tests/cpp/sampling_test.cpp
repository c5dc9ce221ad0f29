// Sampling outcomes from given uniform numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <map>
#include <stdexcept>
#include <vector>

#include "core/sampling.h"

namespace {

// A source that hands out the listed numbers in turn, cycling.
sampling::uniform_source listed(std::vector<double> numbers) {
    auto next = std::make_shared<std::size_t>(0);
    return [numbers, next](double* buffer, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) buffer[i] = numbers[(*next)++ % numbers.size()];
    };
}

TEST(Sampling, OutcomeIsTheFirstIndexWhoseRunningSumExceedsTheShare) {
    const std::vector<double> p{0.25, 0.0, 0.5, 0.25};
    const std::vector<std::uint64_t> drawn =
        sampling::memory(p, 6, listed({0.0, 0.2499, 0.25, 0.7499, 0.75, 0.99999999}));
    EXPECT_EQ(drawn, (std::vector<std::uint64_t>{0, 0, 2, 2, 3, 3}));
}

TEST(Sampling, WeightsNeedNotAddUpToOne) {
    // The shares are of the total, as for a device vector that is not normalised.
    const std::vector<double> p{1.0, 3.0};
    EXPECT_EQ(sampling::memory(p, 3, listed({0.2, 0.3, 0.9})), (std::vector<std::uint64_t>{0, 1, 1}));
}

TEST(Sampling, ANumberAtTheTopGoesToTheLastPositiveEntry) {
    const std::vector<double> p{0.1, 0.2, 0.7, 0.0, 0.0};
    EXPECT_EQ(sampling::memory(p, 1, listed({1.0})), (std::vector<std::uint64_t>{2}));
}

TEST(Sampling, TinyNegativeEntriesWeighNothing) {
    const std::vector<double> p{-1e-12, 1.0};
    EXPECT_EQ(sampling::memory(p, 2, listed({0.0, 0.5})), (std::vector<std::uint64_t>{1, 1}));
}

TEST(Sampling, CountsTallyTheSameDrawsAsMemoryAcrossChunks) {
    std::vector<double> p(8);
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = 0.05 + 0.01 * static_cast<double>(k);
    std::vector<double> numbers;
    for (int i = 0; i < 997; ++i) numbers.push_back((i * 7919 % 997) / 997.0);
    const std::int64_t shots = static_cast<std::int64_t>(sampling::chunk_size(p.size())) + 12345;
    std::map<std::uint64_t, std::int64_t> tallied;
    for (std::uint64_t outcome : sampling::memory(p, shots, listed(numbers))) ++tallied[outcome];
    const auto counted = sampling::counts(p, shots, listed(numbers));
    const std::map<std::uint64_t, std::int64_t> as_map(counted.begin(), counted.end());
    EXPECT_EQ(as_map, tallied);
    EXPECT_EQ(counted.size(), tallied.size());  // one entry per outcome, chunks merged
}

TEST(Sampling, NoShotsNoDraws) {
    bool called = false;
    auto source = [&](double*, std::size_t) { called = true; };
    EXPECT_TRUE(sampling::counts({}, 0, source).empty());
    EXPECT_TRUE(sampling::memory({0.0}, 0, source).empty());
    EXPECT_FALSE(called);
}

struct BadCase {
    std::vector<double> probabilities;
    std::int64_t shots;
};

class SamplingRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(SamplingRefuses, WithInvalidArgument) {
    auto never = [](double*, std::size_t) { FAIL() << "drew numbers for a refused request"; };
    EXPECT_THROW(sampling::counts(GetParam().probabilities, GetParam().shots, never), std::invalid_argument);
    EXPECT_THROW(sampling::memory(GetParam().probabilities, GetParam().shots, never), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Cases, SamplingRefuses,
                         ::testing::Values(BadCase{{0.5, 0.5}, -1}, BadCase{{}, 1}, BadCase{{0.0, 0.0}, 3},
                                           BadCase{{0.5, -0.5}, 1}, BadCase{{0.5, std::nan("")}, 1},
                                           BadCase{{0.5, std::numeric_limits<double>::infinity()}, 1}));

}  // namespace
