// Gate catalogue and kernels. The kernels are checked against the catalogue's
// matrices through an independent dense matrix-vector product.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "ir/gates.h"
#include "reference/kernels.h"

namespace {

using cd = std::complex<double>;
using state_vector = std::vector<cd>;

TEST(engine_gates, NamesRoundTripForEveryGate) {
    for (int k = 1; k <= 21; ++k) {
        const auto index = static_cast<GATE_INDEX>(k);
        EXPECT_EQ(gates::getGateIndex(gates::getGateName(index)), index) << k;
    }
    EXPECT_EQ(gates::getGateIndex("MEASURE"), GATE_MEASURE);
    EXPECT_EQ(gates::getGateName(GATE_MEASURE), "MEASURE");
    EXPECT_EQ(gates::getGateName(GATE_P), "P");
}

TEST(engine_gates, UnknownNamesAndIndices) {
    for (const char* name : {"rx", "cnot", " H", "", "H ", "Measure"}) EXPECT_EQ(gates::getGateIndex(name), 0) << name;
    for (int k : {0, 22, -1, 1000}) EXPECT_EQ(gates::getGateName(static_cast<GATE_INDEX>(k)), "Invalid Gate") << k;
}

TEST(engine_gates, AnglesUseTheEnginesPi) {
    EXPECT_EQ(gateAttr(180).getAngle(), 3.1415926532);
    EXPECT_EQ(gateAttr().getAngle(), 0.0);
    gateAttr a;
    EXPECT_TRUE(a.setAngle(1.0));
    EXPECT_EQ(a.getAngle(), 1.0);
    EXPECT_EQ(gates::getGateH()[1][1], cd(-0.707106781173095, 0));

    const gate_matrix id = gates::getGateXr(0);
    EXPECT_EQ(id[0][0], cd(1, 0));
    EXPECT_EQ(id[0][1], cd(0, 0));
    const gate_matrix z = gates::getGateZr(360);
    EXPECT_NEAR(z[0][0].real(), -1, 1e-9);
    EXPECT_NEAR(z[1][1].real(), -1, 1e-9);
    const gate_matrix ry = gates::getGateYr(90);
    EXPECT_EQ(ry[1][0].real(), -ry[0][1].real());
    EXPECT_TRUE(std::signbit(ry[1][0].imag()));
}

state_vector randomState(unsigned long qubits, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    state_vector v(1UL << qubits);
    for (auto& a : v) a = cd(normal(gen), normal(gen));
    return v;
}

// The matrix acting on the listed bit positions (first listed = most
// significant row/column bit), applied by brute force.
state_vector applyDense(const state_vector& in, const gate_matrix& m, const std::vector<unsigned long>& pos) {
    const unsigned long k = pos.size();
    auto subIndex = [&](unsigned long z) {
        unsigned long s = 0;
        for (unsigned long j = 0; j < k; ++j) s = (s << 1) | ((z >> pos[j]) & 1);
        return s;
    };
    auto withSub = [&](unsigned long z, unsigned long s) {
        for (unsigned long j = 0; j < k; ++j) {
            const unsigned long b = (s >> (k - 1 - j)) & 1;
            z = (z & ~(1UL << pos[j])) | (b << pos[j]);
        }
        return z;
    };
    state_vector out(in.size());
    for (unsigned long z = 0; z < in.size(); ++z)
        for (unsigned long col = 0; col < (1UL << k); ++col) out[z] += m[subIndex(z)][col] * in[withSub(z, col)];
    return out;
}

struct GateCase {
    std::string name;
    gate_matrix (*matrixOf)(double);
    double angle;
    std::vector<unsigned long> positions;
};

class engine_kernel_vs_matrix : public testing::TestWithParam<GateCase> {};

TEST_P(engine_kernel_vs_matrix, KernelAppliesTheCatalogueMatrix) {
    const GateCase& c = GetParam();
    const state_vector in = randomState(4, 7);
    const state_vector expected = applyDense(in, c.matrixOf(c.angle), c.positions);
    state_vector actual = in;
    unsigned long positions[3] = {0, 0, 0};
    for (std::size_t j = 0; j < c.positions.size(); ++j) positions[j] = c.positions[j];
    ASSERT_TRUE(gates::executeGate(actual, positions, c.name, c.angle));
    for (std::size_t z = 0; z < in.size(); ++z) {
        EXPECT_NEAR(actual[z].real(), expected[z].real(), 1e-9) << z;
        EXPECT_NEAR(actual[z].imag(), expected[z].imag(), 1e-9) << z;
    }
}

gate_matrix fixed(gate_matrix (*f)()) { return f(); }
#define FIXED(fn) [](double) { return fixed(gates::fn); }

std::vector<GateCase> gateCases() {
    std::vector<GateCase> cases;
    const std::pair<const char*, gate_matrix (*)(double)> oneQubit[] = {
        {"I", FIXED(getGateI)},     {"H", FIXED(getGateH)},     {"X", FIXED(getGateX)},   {"Y", FIXED(getGateY)},
        {"Z", FIXED(getGateZ)},     {"X90", FIXED(getGateX90)}, {"Y90", FIXED(getGateY90)}, {"Z90", FIXED(getGateZ90)},
        {"S", FIXED(getGateS)},     {"Sd", FIXED(getGateSd)},   {"T", FIXED(getGateT)},   {"Td", FIXED(getGateTd)},
        {"Rx", gates::getGateXr},   {"Ry", gates::getGateYr},   {"Rz", gates::getGateZr}, {"P", gates::getGateP}};
    for (const auto& [name, fn] : oneQubit)
        for (unsigned long pos : {0UL, 2UL, 3UL}) cases.push_back({name, fn, 37.5, {pos}});
    const std::pair<const char*, gate_matrix (*)(double)> twoQubit[] = {
        {"CNOT", FIXED(getGateCNOT)}, {"YCON", FIXED(getGateYCON)}, {"ZCON", FIXED(getGateZCON)}};
    for (const auto& [name, fn] : twoQubit)
        for (auto pair : {std::vector<unsigned long>{1, 0}, {0, 1}, {3, 1}, {0, 3}})
            cases.push_back({name, fn, 45.0, pair});
    for (auto triple : {std::vector<unsigned long>{2, 1, 0}, {0, 3, 1}, {3, 0, 2}, {1, 2, 3}})
        cases.push_back({"CCX", FIXED(getGateCCX), -1.0, triple});
    return cases;
}

std::string caseName(const testing::TestParamInfo<GateCase>& info) {
    std::string name = info.param.name;
    for (unsigned long p : info.param.positions) name += "_" + std::to_string(p);
    return name;
}

INSTANTIATE_TEST_SUITE_P(engine, engine_kernel_vs_matrix, testing::ValuesIn(gateCases()), caseName);

// Exact figures from the engine's constants.
TEST(engine_kernels, HadamardGivesTheEnginesExactAmplitude) {
    state_vector v{1.0, 0.0};
    gates::executeGateH(v, 0);
    EXPECT_EQ(v[0], cd(0.707106781173095, 0));
    EXPECT_EQ(v[1], cd(0.707106781173095, 0));
}

TEST(engine_kernels, QubitZeroIsTheMostSignificantPosition) {
    state_vector a{1.0, 0.0, 0.0, 0.0}, b = a;
    gates::executeGateX(a, 1);
    gates::executeGateX(b, 0);
    EXPECT_EQ(a, (state_vector{0.0, 0.0, 1.0, 0.0}));
    EXPECT_EQ(b, (state_vector{0.0, 1.0, 0.0, 0.0}));
}

TEST(engine_kernels, ControlledGatesOnBasisStates) {
    state_vector v{0.0, 0.0, 1.0, 0.0};
    gates::executeGateCNOT(v, 1, 0);
    EXPECT_EQ(v, (state_vector{0.0, 0.0, 0.0, 1.0}));
    v = {0.0, 1.0, 0.0, 0.0};
    gates::executeGateCNOT(v, 1, 0);
    EXPECT_EQ(v, (state_vector{0.0, 1.0, 0.0, 0.0}));
    v = {0.0, 0.0, 1.0, 0.0};
    gates::executeGateYCON(v, 1, 0);
    EXPECT_EQ(v, (state_vector{0.0, 0.0, 0.0, 1.0}));
    gates::executeGateYCON(v, 1, 0);
    EXPECT_EQ(v, (state_vector{0.0, 0.0, -1.0, 0.0}));

    state_vector w(8);
    for (int k = 0; k < 8; ++k) w[k] = k;
    gates::executeGateCCX(w, 2, 1, 0);
    EXPECT_EQ(w, (state_vector{0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 7.0, 6.0}));
}

TEST(engine_kernels, RotationCarriesTheAngleError) {
    state_vector v{1.0, 0.0};
    gates::executeGateXr(v, 0, 180);
    EXPECT_EQ(v[0].real(), std::cos(1.5707963266));
    EXPECT_GT(v[0].real(), 1e-10);
    EXPECT_NEAR(v[1].imag(), -1, 1e-12);
}

TEST(engine_kernels, MeasureProjectsWithoutRenormalising) {
    const state_vector in{{0.6, 0.1}, {0.3, -0.2}, {0.5, 0.0}, {0.0, 0.4}};
    state_vector zero = in, one = in;
    gates::executeGateMeasure(zero, 0, true);  // qubit 0 is bit position 1
    gates::executeGateMeasure(one, 0, false);
    EXPECT_EQ(zero, (state_vector{in[0], in[1], 0.0, 0.0}));
    EXPECT_EQ(one, (state_vector{0.0, 0.0, in[2], in[3]}));
    state_vector q1 = in;
    gates::executeGateMeasure(q1, 1, true);
    EXPECT_EQ(q1, (state_vector{in[0], 0.0, in[2], 0.0}));
}

TEST(engine_kernels, DispatchRefusesWhatItCannotRun) {
    const state_vector in = randomState(2, 3);
    const unsigned long positions[3] = {1, 0, 0};
    for (GATE_INDEX index : {GATE_INVALID, GATE_RX, GATE_P, GATE_MEASURE, static_cast<GATE_INDEX>(40)}) {
        state_vector v = in;
        EXPECT_FALSE(gates::executeGate(v, positions, index)) << index;
        EXPECT_EQ(v, in);
    }
    state_vector v = in;
    EXPECT_FALSE(gates::executeGate(v, positions, std::string("MEASURE"), 10.0));
    EXPECT_FALSE(gates::executeGate(v, positions, std::string("nope")));
    EXPECT_TRUE(gates::executeGate(v, positions, GATE_I));
    EXPECT_EQ(v, in);

    state_vector cnot = in, expected = in;
    EXPECT_TRUE(gates::executeGate(cnot, positions, std::string("CNOT"), 45.0));
    gates::executeGateCNOT(expected, 1, 0);
    EXPECT_EQ(cnot, expected);
}

}  // namespace
