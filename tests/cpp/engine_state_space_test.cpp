// The norm of a state vector, which a spread run forms from its slices, and
// the reduced density matrix a trajectory's channel draws from.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "engine/space/local_operator.h"
#include "engine/space/state_space.h"

// Summed whole or from the sums of its equal aligned parts (the slices of a
// spread run, down to the smallest a rank holds), a vector has one norm, to
// the last bit, within rounding of a plain loop.
TEST(state_space_norm, PartsAddUpToTheWholeToTheLastBit) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    state_space::state_vector v(1UL << 14);
    for (auto& a : v) a = {value(rng), value(rng)};
    const double whole = state_space::squaredNorm(v);
    for (std::size_t parts = 2; v.size() / parts >= state_space::NORM_LEAF; parts *= 2) {
        std::vector<double> sums;
        for (std::size_t p = 0; p < parts; ++p) {
            const std::size_t size = v.size() / parts;
            sums.push_back(state_space::squaredNorm(state_space::state_vector(v.begin() + p * size,
                                                                               v.begin() + (p + 1) * size)));
        }
        EXPECT_EQ(state_space::combineSums(sums), whole) << parts << " parts";
    }
    double loop = 0.0;
    for (const auto& a : v) loop += state_space::squaredMagnitude(a);
    EXPECT_NEAR(loop, whole, 1e-12 * whole);
}

// The reduced density matrix of a few positions, whichever path computes
// it, against the partial trace written out: G[r][c] = sum over the other
// bits of a(r, rest) conj(a(c, rest)), the first listed position the top
// bit of r and c.
class reduced_density : public ::testing::TestWithParam<std::vector<unsigned long>> {};

TEST_P(reduced_density, IsThePartialTrace) {
    const std::vector<unsigned long> positions = GetParam();
    constexpr unsigned long kQubits = 6;
    std::mt19937_64 rng(positions.size() * 31 + positions[0]);
    std::normal_distribution<double> normal;
    state_space::state_vector v(1UL << kQubits);
    for (auto& a : v) a = {normal(rng), normal(rng)};
    const std::vector<std::complex<double>> g = gates::reducedDensity(v, positions);
    const std::size_t m = positions.size(), d = std::size_t(1) << m;
    auto local = [&](std::size_t index) {
        std::size_t k = 0;
        for (std::size_t j = 0; j < m; ++j) k |= ((index >> positions[j]) & 1) << (m - 1 - j);
        return k;
    };
    std::vector<std::complex<double>> expected(d * d, 0.0);
    for (std::size_t i = 0; i < v.size(); ++i)
        for (std::size_t j = 0; j < v.size(); ++j) {
            bool sameRest = true;
            for (std::size_t b = 0; b < kQubits; ++b) {
                const bool listed = std::find(positions.begin(), positions.end(), b) != positions.end();
                if (!listed && ((i >> b) & 1) != ((j >> b) & 1)) sameRest = false;
            }
            if (sameRest) expected[local(i) * d + local(j)] += v[i] * std::conj(v[j]);
        }
    ASSERT_EQ(g.size(), d * d);
    for (std::size_t e = 0; e < d * d; ++e) EXPECT_NEAR(std::abs(g[e] - expected[e]), 0.0, 1e-10) << e;
}

INSTANTIATE_TEST_SUITE_P(Positions, reduced_density,
                         ::testing::Values(std::vector<unsigned long>{0}, std::vector<unsigned long>{5},
                                           std::vector<unsigned long>{2, 4}, std::vector<unsigned long>{4, 2},
                                           std::vector<unsigned long>{0, 5}, std::vector<unsigned long>{1, 3, 5}));
