// Single-precision runs against the double run of the same gates: every
// gate a float matrix, fused or alone, on registers of every layout (the
// matrix on the lowest bits or clear of them, tiles too short for a
// register), within a bound of float rounding per gate.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "engine/fusion/fuser.h"
#include "engine/fusion/gate_runs.h"
#include "engine/space/state_space.h"
#include "engine_test_gates.h"

namespace {

using namespace test_gates;

// A gate on a unit vector adds at most a few float roundings of the norm
// per amplitude (the entry's rounding, the products' and the sums');
// errors of different gates add at worst linearly.
constexpr double ROUNDINGS_PER_GATE = 4;

struct single_case {
    unsigned long qubits;
    std::size_t gates;
    bool fuse;
    gates::fusion_limits limits;
    int cpus;
};

class single_runs : public testing::TestWithParam<single_case> {};

TEST_P(single_runs, StayWithinFloatRoundingOfTheDoubleRun) {
    const single_case c = GetParam();
    cpu_limit limit(c.cpus);
    std::mt19937_64 rng(c.qubits * 7919 + c.gates * 31 + c.limits.qubits * 7 + c.fuse);
    std::vector<gates::compiled_gate> compiled;
    for (const gate_unit& g : randomGates(c.qubits, c.gates, rng)) {
        gates::compiled_gate one;
        if (gates::compileGate(g, c.qubits, one)) compiled.push_back(one);
    }
    state_vector expected = randomState(c.qubits, rng);
    state_space::normalise(expected);
    state_space::amplitudes<float> actual;
    for (const cd& a : expected) actual.emplace_back(static_cast<float>(a.real()), static_cast<float>(a.imag()));

    gates::runGates(expected, compiled);
    gates::fused_run run = c.fuse ? gates::fuseGates(compiled, c.limits) : gates::fused_run{compiled, {}};
    gates::matricesOnly(run);
    gates::runGates(actual, run.steps);

    double error = 0;
    for (std::size_t k = 0; k < expected.size(); ++k)
        error += std::norm(std::complex<double>(actual[k].real(), actual[k].imag()) - expected[k]);

    EXPECT_LE(std::sqrt(error), ROUNDINGS_PER_GATE * static_cast<double>(compiled.size() + 1) * FLT_EPSILON);
    EXPECT_NEAR(state_space::squaredNorm(actual), 1.0, 2 * ROUNDINGS_PER_GATE * compiled.size() * FLT_EPSILON);
}

INSTANTIATE_TEST_SUITE_P(
    engine, single_runs,
    testing::Values(single_case{1, 30, false, {}, 1}, single_case{3, 60, true, {3, 8}, 1},
                    single_case{5, 80, true, {5, 32}, 1}, single_case{9, 150, false, {}, 1},
                    single_case{12, 300, true, {2, 4}, 1}, single_case{12, 300, true, {5, 32}, 1},
                    single_case{16, 200, true, {4, 16}, 2}, single_case{17, 150, false, {}, 2},
                    single_case{20, 160, true, {5, 4}, 2}),
    [](const auto& info) {
        const single_case& c = info.param;
        return std::to_string(c.qubits) + "_qubits_" + std::to_string(c.gates) + "_gates_" +
               (c.fuse ? "fused_" + std::to_string(c.limits.qubits) + "x" + std::to_string(c.limits.rowWidth)
                       : std::string("alone")) +
               "_" + std::to_string(c.cpus) + "_cpus";
    });

// Double runs take no float matrix, and float runs no gate kernel.
TEST(single_runs, RefuseAGateThatIsNoFloatMatrix) {
    gates::compiled_gate h;
    ASSERT_TRUE(gates::compileGate(gate_unit("H", 0), 2, h));
    state_space::amplitudes<float> state = state_space::zeroStateOf<float>(2);
    EXPECT_THROW(gates::runGates(state, {h}), std::invalid_argument);
}

}  // namespace
