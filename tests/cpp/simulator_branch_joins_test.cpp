// A branch run holds one branch per distinct (record, state) pair, however
// many measurement histories reach it: rounds of a measurement into one
// bit, a rotation where it reads 1 and a reset, against the binomial sum.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "simulator/branch/branch_run.h"

namespace {

constexpr double kTheta = 0.3;  // radians: no two of the rounds' rotations are proportional

program::op opOf(program::op_kind kind, GATE_INDEX gate, unsigned long qubit) {
    program::op op;
    op.kind = kind;
    op.gate = gate;
    op.qubits = {qubit};
    if (kind == program::op_kind::measure) op.clbits = {0};
    return op;
}

// H q0; q0 -> c0; RY(theta) q1 where c0 = 1; reset q0; `rounds` times.
program::sub_circuit accumulator(int rounds) {
    program::sub_circuit sub;
    sub.qubits = 2;
    sub.clbits = 1;
    for (int r = 0; r < rounds; ++r) {
        sub.ops.push_back(opOf(program::op_kind::gate, GATE_H, 0));
        sub.ops.push_back(opOf(program::op_kind::measure, GATE_INVALID, 0));
        program::op rotation = opOf(program::op_kind::gate, GATE_RY, 1);
        rotation.angle = kTheta * 180 / M_PI;
        rotation.hasAngle = true;
        rotation.cond = condition({0}, EQUAL, 1);
        sub.ops.push_back(rotation);
        sub.ops.push_back(opOf(program::op_kind::reset, GATE_INVALID, 0));
    }
    return sub;
}

double binomial(int n, int k) {
    return std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0));
}

template <class Space>
void expectBoundedAndExact(int rounds, std::size_t pairs) {
    const program::sub_circuit sub = accumulator(rounds);
    branch_run::run<Space> run(sub, fusion_choice::off);
    run.execute();
    EXPECT_EQ(run.branchCount(), pairs);
    // k rotations with probability C(rounds, k) / 2^rounds.
    double one = 0;
    for (int k = 0; k <= rounds; ++k)
        one += binomial(rounds, k) * std::ldexp(std::pow(std::sin(k * kTheta / 2), 2), -rounds);
    const std::vector<double> p = run.marginal({1});
    EXPECT_NEAR(p[1], one, 1e-9);
    EXPECT_NEAR(run.classical({0}).at("1"), 0.5, 1e-9);  // the engine's H is calibrated, not exact
}

TEST(BranchJoins, PureBranchesAreTheDistinctRecordStatePairs) {
    // After the last round: c0 = 1 with 1..rounds rotations, c0 = 0 with
    // 0..rounds-1, each its own state; 2^rounds histories in all.
    for (int rounds : {1, 9, 14}) expectBoundedAndExact<branch_run::pure_states>(rounds, 2 * rounds);
}

TEST(BranchJoins, DensityBranchesAreTheRecords) {
    for (int rounds : {1, 9}) expectBoundedAndExact<branch_run::density_states>(rounds, 2);
}

}  // namespace
