// How trajectories draw from a channel: the split into fixed-probability
// terms and a remainder must be the same channel, whatever basis its Kraus
// operators came in, and a channel that is a Pauli mixture must draw from
// fixed weights alone.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "ir/channels.h"
#include "simulator/branch/channel_draws.h"

namespace {

using cd = std::complex<double>;
using matrix = std::vector<cd>;

matrix apply(const matrix& k, const matrix& rho, unsigned d) {  // K rho K^dagger
    matrix out(d * d, 0.0);
    for (unsigned r = 0; r < d; ++r)
        for (unsigned c = 0; c < d; ++c)
            for (unsigned i = 0; i < d; ++i)
                for (unsigned j = 0; j < d; ++j) out[r * d + c] += k[r * d + i] * rho[i * d + j] * std::conj(k[c * d + j]);
    return out;
}

matrix randomDensity(unsigned d, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    matrix a(d * d);
    for (cd& e : a) e = {normal(rng), normal(rng)};
    matrix identity(d * d, 0.0);
    for (unsigned i = 0; i < d; ++i) identity[i * d + i] = 1.0;
    matrix rho = apply(a, identity, d);  // A A^dagger
    cd trace = 0.0;
    for (unsigned i = 0; i < d; ++i) trace += rho[i * d + i];
    for (cd& e : rho) e /= trace;
    return rho;
}

// The operators mixed by a random unitary (K'_i = sum_j V_ij K_j): the same
// channel, as an eigendecomposition may hand it over.
std::vector<matrix> mixed(const std::vector<matrix>& operators, std::mt19937_64& rng) {
    const std::size_t n = operators.size();
    std::normal_distribution<double> normal;
    std::vector<std::vector<cd>> v(n, std::vector<cd>(n));
    for (auto& row : v)
        for (cd& e : row) e = {normal(rng), normal(rng)};
    for (std::size_t i = 0; i < n; ++i) {  // Gram-Schmidt: V unitary
        for (std::size_t j = 0; j < i; ++j) {
            cd dot = 0.0;
            for (std::size_t k = 0; k < n; ++k) dot += std::conj(v[j][k]) * v[i][k];
            for (std::size_t k = 0; k < n; ++k) v[i][k] -= dot * v[j][k];
        }
        double norm = 0;
        for (const cd& e : v[i]) norm += std::norm(e);
        for (cd& e : v[i]) e /= std::sqrt(norm);
    }
    std::vector<matrix> out(n, matrix(operators[0].size(), 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t e = 0; e < out[i].size(); ++e) out[i][e] += v[i][j] * operators[j][e];
    return out;
}

struct named_channel {
    const char* name;
    program::kraus_channel channel;
    bool pauli;      // a Pauli mixture: every draw is state-free
    double fixed;    // the probability of the fixed terms when not a Pauli mixture
};

std::vector<named_channel> channels() {
    using namespace program::channels;
    return {{"depolarizing 1", depolarizing(0.3, 1), true, 1},
            {"depolarizing 2", depolarizing(0.2, 2), true, 1},
            {"pauli", pauli({{"XZ", 0.1}, {"YY", 0.05}}), true, 1},
            {"amplitude damping", amplitudeDamping(0.3), false, 0},
            {"thermal", thermalRelaxation(50, 30, 10), false, -1}};
}

class ChannelSplit : public ::testing::TestWithParam<int> {};

TEST_P(ChannelSplit, IsTheSameChannelInAnyBasis) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    for (const named_channel& c : channels()) {
        SCOPED_TRACE(c.name);
        for (bool mix : {false, true}) {
            program::kraus_channel given = c.channel;
            if (mix) given.operators = mixed(given.operators, rng);
            const channel_draws::drawn_channel drawn = channel_draws::split(given);
            const unsigned d = 1U << given.qubits();
            if (c.pauli) {
                EXPECT_TRUE(drawn.rest.empty());
                EXPECT_EQ(drawn.fixedTotal, 1.0);
                for (const auto& t : drawn.fixed) EXPECT_TRUE(t.isPauli);
            } else if (c.fixed >= 0 && !mix) {
                EXPECT_NEAR(drawn.fixedTotal, c.fixed, 1e-12);
            }
            const matrix rho = randomDensity(d, rng);
            matrix expected(d * d, 0.0), got(d * d, 0.0);
            for (const matrix& k : given.operators) {
                const matrix part = apply(k, rho, d);
                for (unsigned e = 0; e < d * d; ++e) expected[e] += part[e];
            }
            double weights = 0;
            for (const auto& t : drawn.fixed) {
                const matrix part = apply(t.unitary, rho, d);
                for (unsigned e = 0; e < d * d; ++e) got[e] += t.weight * part[e];
                weights += t.weight;
            }
            for (const matrix& k : drawn.rest) {
                const matrix part = apply(k, rho, d);
                for (unsigned e = 0; e < d * d; ++e) got[e] += part[e];
            }
            if (!drawn.rest.empty()) {
                EXPECT_NEAR(drawn.fixedTotal, weights, 1e-12);
            }
            for (unsigned e = 0; e < d * d; ++e) EXPECT_NEAR(std::abs(got[e] - expected[e]), 0.0, 1e-10) << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ChannelSplit, ::testing::Range(0, 4));

TEST(ChannelSplit, AChannelThatLosesTraceDrawsFromTheStateAlone) {
    program::kraus_channel lossy;
    lossy.operators = {{1.0, 0.0, 0.0, 0.5}};
    const channel_draws::drawn_channel drawn = channel_draws::split(lossy);
    EXPECT_TRUE(drawn.fixed.empty());
    EXPECT_EQ(drawn.fixedTotal, 0.0);
    EXPECT_EQ(drawn.rest.size(), 1U);
}

}  // namespace
