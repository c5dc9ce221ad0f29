// Shots drawn from the amplitudes: the slices of a vector draw what the
// whole does, and empty amplitudes are never drawn. (The outcomes'
// distribution is tested against exact probabilities in Python.)
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/space/amplitude_draws.h"

namespace {

using amplitude_draws::outcome_counts;

// Random amplitudes on 2^qubits indices, every third one empty.
state_space::state_vector randomState(unsigned long qubits, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    state_space::state_vector state(std::size_t{1} << qubits);
    for (std::size_t k = 0; k < state.size(); ++k)
        if (k % 3 != 0) state[k] = {normal(rng), normal(rng)};
    return state;
}

std::int64_t shotsOf(const outcome_counts& drawn) {
    std::int64_t total = 0;
    for (const auto& [index, count] : drawn) total += count;
    return total;
}

TEST(AmplitudeDraws, SlicesDrawWhatTheWholeVectorDraws) {
    // Four "ranks" of a 20-qubit vector: 2^16 blocks, 2^14 per slice.
    const unsigned long qubits = 20, localBits = 18;
    const state_space::state_vector whole = randomState(qubits, 1);
    const unsigned long bits = amplitude_draws::blockBits(qubits, localBits);
    ASSERT_EQ(bits, amplitude_draws::blockBits(qubits, qubits));
    std::vector<double> weights;
    std::vector<state_space::state_vector> slices;
    for (std::size_t r = 0; r < 4; ++r) {
        slices.emplace_back(whole.begin() + (r << localBits), whole.begin() + ((r + 1) << localBits));
        const std::vector<double> own = amplitude_draws::blockWeights(slices.back(), bits);
        weights.insert(weights.end(), own.begin(), own.end());
    }
    const std::vector<std::int64_t> shots = amplitude_draws::blockShots(weights, 50000, 9);
    outcome_counts joined;
    for (std::size_t r = 0; r < 4; ++r) {
        const outcome_counts own =
            amplitude_draws::drawInSlice(slices[r], bits, weights, shots, r << (localBits - bits), 9);
        joined.insert(joined.end(), own.begin(), own.end());
    }
    EXPECT_EQ(joined, amplitude_draws::draw(whole, 50000, 9));
    EXPECT_EQ(shotsOf(joined), 50000);
}

TEST(AmplitudeDraws, EmptyAmplitudesAreNeverDrawnAndFloatDrawsAsDouble) {
    // Halves and quarters are exact in float: both precisions see the same weights.
    state_space::state_vector exact(std::size_t{1} << 12);
    state_space::amplitudes<float> single(exact.size());
    for (std::size_t k = 0; k < exact.size(); k += 5)
        exact[k] = single[k] = std::complex<float>(0.5f, k % 2 ? 0.25f : 0.0f);
    const outcome_counts drawn = amplitude_draws::draw(exact, 20000, 4);
    for (const auto& [index, count] : drawn) EXPECT_EQ(index % 5, 0U) << index;
    EXPECT_EQ(drawn, amplitude_draws::draw(single, 20000, 4));
}

TEST(AmplitudeDraws, BrokenWeightsAndNegativeShotsAreRefused) {
    EXPECT_THROW(amplitude_draws::blockShots({1.0, NAN}, 10, 1), std::invalid_argument);
    EXPECT_THROW(amplitude_draws::blockShots({0.0, 0.0}, 10, 1), std::invalid_argument);
    EXPECT_THROW(amplitude_draws::blockShots({1.0}, -1, 1), std::invalid_argument);
    EXPECT_EQ(amplitude_draws::blockShots({0.0, 0.0}, 0, 1), (std::vector<std::int64_t>{0, 0}));
}

}  // namespace
