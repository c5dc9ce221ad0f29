// The norm of a state vector, which a spread run forms from its slices.
#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <vector>

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
