// Density-matrix runs of programs with channels, without an interpreter,
// against dense matrices: rho -> U rho U^dagger for each gate (U read off
// the engine's own kernels) and rho -> sum K rho K^dagger for each channel,
// K placed on its qubits in the order listed.
#include <gtest/gtest.h>

#include <complex>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/fusion/compile_gate.h"
#include "engine/fusion/gate_runs.h"
#include "ir/channels.h"
#include "simulator/branch/branch_run.h"
#include "simulator/setup/placement.h"

namespace {

using cd = std::complex<double>;
using matrix = std::vector<cd>;  // dim x dim, row-major
constexpr int kQubits = 3;
constexpr std::size_t kDim = 1 << kQubits;

matrix multiply(const matrix& a, const matrix& b) {
    matrix out(kDim * kDim, 0.0);
    for (std::size_t i = 0; i < kDim; ++i)
        for (std::size_t k = 0; k < kDim; ++k)
            for (std::size_t j = 0; j < kDim; ++j) out[i * kDim + j] += a[i * kDim + k] * b[k * kDim + j];
    return out;
}

matrix dagger(const matrix& a) {
    matrix out(kDim * kDim);
    for (std::size_t i = 0; i < kDim; ++i)
        for (std::size_t j = 0; j < kDim; ++j) out[j * kDim + i] = std::conj(a[i * kDim + j]);
    return out;
}

// The gate's unitary on the register, column by column through its kernel.
matrix unitaryOf(const program::op& op) {
    gates::compiled_gate g;
    EXPECT_TRUE(gates::compileGate(placement::lane_gate(op), kQubits, g));
    matrix u(kDim * kDim);
    for (std::size_t c = 0; c < kDim; ++c) {
        std::vector<cd> column(kDim, 0.0);
        column[c] = 1.0;
        gates::applyGate(column.data(), kDim, g);
        for (std::size_t r = 0; r < kDim; ++r) u[r * kDim + c] = column[r];
    }
    return u;
}

// K on `qubits` (the first the top bit of K's numbers), identity elsewhere.
matrix embedded(const matrix& k, const std::vector<unsigned long>& qubits) {
    const std::size_t m = qubits.size(), d = std::size_t(1) << m;
    auto local = [&](std::size_t index) {
        std::size_t value = 0;
        for (std::size_t j = 0; j < m; ++j) value |= ((index >> (kQubits - 1 - qubits[j])) & 1) << (m - 1 - j);
        return value;
    };
    std::size_t on = 0;
    for (unsigned long q : qubits) on |= std::size_t(1) << (kQubits - 1 - q);
    matrix out(kDim * kDim, 0.0);
    for (std::size_t r = 0; r < kDim; ++r)
        for (std::size_t c = 0; c < kDim; ++c)
            if ((r & ~on) == (c & ~on)) out[r * kDim + c] = k[local(r) * d + local(c)];
    return out;
}

program::op gate(GATE_INDEX index, std::vector<unsigned long> qubits, double angle = 0) {
    program::op op;
    op.gate = index;
    op.qubits = std::move(qubits);
    op.angle = angle;
    op.hasAngle = angle != 0;
    return op;
}

program::op channel(program::kraus_channel c, std::vector<unsigned long> qubits) {
    program::op op;
    op.kind = program::op_kind::channel;
    op.channel = std::make_shared<const program::kraus_channel>(std::move(c));
    op.qubits = std::move(qubits);
    return op;
}

class DensityRuns : public ::testing::TestWithParam<int> {};

TEST_P(DensityRuns, MatchDenseMatrices) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto qubit = [&] { return static_cast<unsigned long>(rng() % kQubits); };
    auto pair = [&] {
        const unsigned long a = qubit(), b = (a + 1 + rng() % (kQubits - 1)) % kQubits;
        return std::vector<unsigned long>{a, b};
    };
    program::sub_circuit sub;
    sub.qubits = kQubits;
    for (int k = 0; k < 24; ++k) {
        switch (rng() % 6) {
            case 0: sub.ops.push_back(gate(GATE_H, {qubit()})); break;
            case 1: sub.ops.push_back(gate(GATE_RX, {qubit()}, 360 * unit(rng))); break;
            case 2: sub.ops.push_back(gate(GATE_CNOT, pair())); break;
            case 3: sub.ops.push_back(channel(program::channels::amplitudeDamping(unit(rng)), {qubit()})); break;
            case 4: sub.ops.push_back(channel(program::channels::depolarizing(unit(rng), 2), pair())); break;
            default:
                sub.ops.push_back(channel(program::channels::pauli({{"XZ", 0.3 * unit(rng)}, {"YI", 0.2}}), pair()));
        }
    }
    matrix rho(kDim * kDim, 0.0);
    rho[0] = 1.0;
    for (const program::op& op : sub.ops) {
        if (op.kind == program::op_kind::gate) {
            const matrix u = unitaryOf(op);
            rho = multiply(multiply(u, rho), dagger(u));
            continue;
        }
        matrix next(kDim * kDim, 0.0);
        for (const auto& k : op.channel->operators) {
            const matrix e = embedded(k, op.qubits);
            const matrix term = multiply(multiply(e, rho), dagger(e));
            for (std::size_t i = 0; i < next.size(); ++i) next[i] += term[i];
        }
        rho = next;
    }
    for (fusion_choice fusion : {fusion_choice::on, fusion_choice::off}) {
        branch_run::run<branch_run::density_states> run(sub, fusion);
        run.execute();
        const std::vector<double> p = run.probabilities();
        for (std::size_t i = 0; i < kDim; ++i) EXPECT_NEAR(p[i], rho[i * kDim + i].real(), 1e-13) << "basis state " << i;
        const std::vector<double> z = run.expectations({{{"ZIX", 1.0}}});
        // <Z (x) I (x) X> = Tr(rho O): the engine's Pauli sums against the matrix's.
        const matrix o = embedded({0, 1, 1, 0}, {2});
        const matrix zo = multiply(embedded({1, 0, 0, -1}, {0}), o);
        cd trace = 0;
        for (std::size_t i = 0; i < kDim; ++i) trace += multiply(rho, zo)[i * kDim + i];
        EXPECT_NEAR(z[0], trace.real(), 1e-13);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DensityRuns, ::testing::Range(0, 12));

// A store overwrites a bit in the branches its condition picks: the bit no
// longer reads its outcome, so a readout error on that outcome is never drawn.
template <class Space>
std::map<std::string, double> storedRun() {
    program::sub_circuit sub;
    sub.qubits = 1;
    sub.clbits = 2;
    sub.ops.push_back(gate(GATE_H, {0}));
    program::op measure;
    measure.kind = program::op_kind::measure;
    measure.gate = GATE_MEASURE;
    measure.qubits = {0};
    measure.clbits = {0};
    measure.readout = {{0.7, 0.3, 0.2, 0.8}};
    sub.ops.push_back(measure);
    program::op flag;  // c1 := 1 where c0 reads 1
    flag.kind = program::op_kind::store;
    flag.clbits = {1};
    flag.stored = true;
    flag.cond = condition({0}, EQUAL, wide_integer(1));
    sub.ops.push_back(flag);
    program::op clear;  // c0 := 0 everywhere
    clear.kind = program::op_kind::store;
    clear.clbits = {0};
    sub.ops.push_back(clear);
    branch_run::run<Space> run(sub, fusion_choice::off);
    run.execute();
    return run.classical({0, 1});
}

TEST(Stores, WriteWhereTheConditionHolds) {
    constexpr double kH = 1e-10;  // the engine's H takes about 4e-11 of the norm
    for (const auto& got : {storedRun<branch_run::pure_states>(), storedRun<branch_run::density_states>()}) {
        ASSERT_EQ(got.size(), 2U);
        EXPECT_NEAR(got.at("00"), 0.45, kH);
        EXPECT_NEAR(got.at("01"), 0.55, kH);
    }
}

}  // namespace
