// Circuit records, the circuit text and the keyword reader behind it.
#include <gtest/gtest.h>

#include <complex>
#include <exception>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ir/circuit.h"
#include "reference/simple_json.h"

namespace {

using cd = std::complex<double>;
using state_vector = std::vector<cd>;

struct CtorCase {
    const char* label;
    std::function<gate_unit()> make;
    bool throws;
};

class engine_gate_ctor : public testing::TestWithParam<CtorCase> {};

TEST_P(engine_gate_ctor, ArityIsChecked) {
    if (GetParam().throws)
        EXPECT_THROW(GetParam().make(), std::exception);
    else
        EXPECT_NO_THROW(GetParam().make());
}

INSTANTIATE_TEST_SUITE_P(
    engine, engine_gate_ctor,
    testing::Values(CtorCase{"CNOT_one", [] { return gate_unit("CNOT", 0); }, true},
                    CtorCase{"index17_one", [] { return gate_unit(GATE_CNOT, 0); }, true},
                    CtorCase{"H_two", [] { return gate_unit("H", 0, 1); }, true},
                    CtorCase{"CNOT_three", [] { return gate_unit("CNOT", 0, 1, 2); }, true},
                    CtorCase{"index2_angle", [] { return gate_unit(GATE_H, 0, 10.0); }, true},
                    CtorCase{"index20_two", [] { return gate_unit(GATE_CCX, 0, 1); }, true},
                    CtorCase{"CCX_one", [] { return gate_unit("CCX", 0); }, false},
                    CtorCase{"MEASURE_one", [] { return gate_unit(GATE_MEASURE, 0); }, false},
                    CtorCase{"index12_angle", [] { return gate_unit(GATE_P, 0, 10.0); }, false},
                    CtorCase{"YCON_two", [] { return gate_unit("YCON", 0, 1); }, false},
                    CtorCase{"index20_three", [] { return gate_unit(GATE_CCX, 0, 1, 2); }, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(engine_gate_unit, RecordsAreCompletedFromTheirKind) {
    const gate_unit m("MEASURE", 2);
    EXPECT_EQ(m.getGateIndex(), GATE_MEASURE);
    EXPECT_EQ(m.getQubitNum(), 1u);
    EXPECT_EQ(m.getQubit2(), 65535u);
    EXPECT_EQ(m.getAngle(), -1.0);

    const gate_unit rx("Rx", 1, 90.0), p(GATE_P, 0, 30.0), cnot(GATE_CNOT, 0, 1), ccx("CCX", 2, 0, 1);
    EXPECT_EQ(rx.getGateIndex(), GATE_RX);
    EXPECT_EQ(rx.getAngle(), 90.0);
    EXPECT_EQ(p.getGateName(), "P");
    EXPECT_EQ(cnot.getGateName(), "CNOT");
    EXPECT_EQ(cnot.getQubitNum(), 2u);
    EXPECT_EQ(ccx.getQubit3(), 1u);
    EXPECT_EQ(ccx.getQubitNum(), 3u);
    EXPECT_FALSE(ccx.hasCondition());
}

TEST(engine_gate_unit, ExecutesByNameOnQubitNumbers) {
    state_vector v(8);
    v[0] = 1.0;
    EXPECT_TRUE(gate_unit("X", 0).execute(v));  // qubit 0: bit position 2
    EXPECT_EQ(v[4], cd(1, 0));

    state_vector h{1.0, 0.0}, plain{1.0, 0.0};
    const gate_unit withAngle("H", 0, 90.0);
    EXPECT_EQ(withAngle.getAngle(), 90.0);
    EXPECT_TRUE(withAngle.execute(h));
    gate_unit("H", 0).execute(plain);
    EXPECT_EQ(h, plain);
}

TEST(engine_gate_unit, RefusedExecutionLeavesTheStateAlone) {
    state_vector in(8);
    for (int k = 0; k < 8; ++k) in[k] = cd(k, -k);
    const gate_unit refused[] = {
        gate_unit("frobnicate", 0), gate_unit("MEASURE", 0),
        gate_unit("X", 3),            // no such qubit
        gate_unit("CNOT", 1, 1),      // coincident qubits
        gate_unit("CCX", 0, 1, 7),    // target out of range
        gate_unit("CNOT", 0, 45.0),   // a CNOT without its target
        gate_unit("CCX", 1)};
    for (const gate_unit& g : refused) {
        state_vector v = in;
        EXPECT_FALSE(g.execute(v)) << g.getGateName();
        EXPECT_EQ(v, in) << g.getGateName();
    }
    state_vector odd(3, 1.0);
    EXPECT_FALSE(gate_unit("X", 0).execute(odd));
    state_vector empty;
    EXPECT_FALSE(gate_unit("X", 0).execute(empty));
}

TEST(engine_condition, EqualityAndHash) {
    const condition a({0, 1}, EQUAL, 2), same({0, 1}, EQUAL, 2), swapped({1, 0}, EQUAL, 2),
        other({0, 1}, NOT_EQUAL, 2), value({0, 1}, EQUAL, 3);
    const hash_condition hash;
    EXPECT_TRUE(a == same);
    EXPECT_FALSE(a == swapped);
    EXPECT_FALSE(a == other);
    EXPECT_FALSE(a == value);
    EXPECT_EQ(hash(a), hash(other));
    EXPECT_EQ(hash(a), hash(swapped));
    EXPECT_EQ(hash(condition({}, EQUAL, -1)), ~std::size_t(0));
    EXPECT_FALSE(condition().isValid());
    gate_unit g("X", 0);
    g.setCondition(condition());
    EXPECT_FALSE(g.hasCondition());
    g.setCondition(a);
    EXPECT_TRUE(g.hasCondition());
    EXPECT_TRUE(g.getCondition() == a);
}

TEST(engine_circuit, LayerCountsAndConsistency) {
    const circuit_unit first({gate_unit("H", 0), gate_unit("MEASURE", 1), gate_unit("I", 2)});
    EXPECT_EQ(first.getQubitNum(), 3u);
    EXPECT_EQ(first.getMeasureNum(), 1u);
    const circuit_unit two({gate_unit("CNOT", 0, 2)}), three({gate_unit("CCX", 0, 1, 2)});
    const circuit ok({first, two}, 1);
    EXPECT_EQ(ok.getQubitNum(), 3u);
    EXPECT_EQ(ok.getClbitNum(), 1u);
    EXPECT_EQ(ok.getCircuitNum(), 2u);
    EXPECT_THROW(circuit({first, three}), std::exception);
    EXPECT_EQ(circuit(std::vector<circuit_unit>{}).getQubitNum(), 0u);
}

TEST(engine_circuit, ExecutionStopsAtTheFirstFailingGate) {
    const circuit_unit layer({gate_unit("X", 1), gate_unit("MEASURE", 0), gate_unit("X", 0)});
    state_vector v{1.0, 0.0, 0.0, 0.0};
    EXPECT_FALSE(layer.execute(v));
    EXPECT_EQ(v, (state_vector{0.0, 1.0, 0.0, 0.0}));  // X on qubit 1 ran, X on qubit 0 did not

    const circuit bell({circuit_unit({gate_unit("H", 0), gate_unit("I", 1)}), circuit_unit({gate_unit("CNOT", 0, 1)})});
    state_vector w{1.0, 0.0, 0.0, 0.0};
    EXPECT_TRUE(bell.execute(w));
    EXPECT_EQ(w[0], w[3]);
    EXPECT_EQ(w[0], cd(0.707106781173095, 0));
}

// ---- circuit text ----

const char* const kTwoLayerText =
    "{\n \"circuit number\" : 2,\n \"qubit number\" : 2,\n \"circuit\" : [{\n \"circuit unit\" : [{\n"
    " \"gate name\" : \"H\",\n \"qubit\" : 0,\n \"qubit2\" : 65535,\n \"angle\" : -1\n}, {\n"
    " \"gate name\" : \"Rx\",\n \"qubit\" : 1,\n \"qubit2\" : 65535,\n \"angle\" : 22.5\n}]\n}, {\n"
    " \"circuit unit\" : [{\n \"gate name\" : \"CNOT\",\n \"qubit\" : 0,\n \"qubit2\" : 1,\n \"angle\" : -1\n}]\n}]\n}";

circuit twoLayerCircuit() {
    return circuit({circuit_unit({gate_unit("H", 0), gate_unit("Rx", 1, 22.5)}),
                    circuit_unit({gate_unit("CNOT", 0, 1)})});
}

TEST(engine_circuit_text, WritesTheLayoutByteForByte) {
    EXPECT_EQ(twoLayerCircuit().toJSON(), kTwoLayerText);
    const std::string measure = gate_unit("MEASURE", 3).toJSON();
    EXPECT_NE(measure.find("\n \"qubit\" : 3,\n"), std::string::npos);
    EXPECT_NE(measure.find("\n \"angle\" : -1\n}"), std::string::npos);
    EXPECT_EQ(circuit_unit().toJSON(), "{\n \"circuit unit\" : []\n}");
    EXPECT_EQ(circuit().toJSON(), "{\n \"circuit number\" : 0,\n \"qubit number\" : 0,\n \"circuit\" : []\n}");
}

TEST(engine_circuit_text, AnglesAreWrittenAsAStreamWritesThem) {
    const std::pair<double, const char*> cases[] = {
        {22.5, "22.5"}, {1.0 / 3, "0.333333"}, {0.000012, "1.2e-05"}, {1250000.0, "1.25e+06"}, {-90.0, "-90"}};
    for (const auto& [angle, text] : cases) {
        const std::string json = gate_unit("Rz", 0, angle).toJSON();
        EXPECT_NE(json.find(std::string(" \"angle\" : ") + text + "\n}"), std::string::npos) << json;
    }
}

TEST(engine_circuit_text, ReadsBackWhatItWrote) {
    circuit c;
    ASSERT_TRUE(c.parseFromJSON(kTwoLayerText));
    EXPECT_EQ(c.getCircuitNum(), 2u);
    EXPECT_EQ(c.getQubitNum(), 2u);
    const std::vector<circuit_unit> layers = c.getCircuit();
    ASSERT_EQ(layers.size(), 2u);
    const std::vector<gate_unit> first = layers[0].getCircuitUnit(), second = layers[1].getCircuitUnit();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].getGateIndex(), GATE_H);
    EXPECT_EQ(first[1].getGateName(), "Rx");
    EXPECT_EQ(first[1].getQubit(), 1u);
    EXPECT_EQ(first[1].getAngle(), 22.5);
    EXPECT_EQ(second[0].getQubit2(), 1u);
    EXPECT_EQ(c.toJSON(), kTwoLayerText);

    circuit_unit empty({gate_unit("X", 0)});
    EXPECT_TRUE(empty.parseFromJSON(circuit_unit().toJSON()));
    EXPECT_TRUE(empty.getCircuitUnit().empty());
}

TEST(engine_circuit_text, ReaderQuirks) {
    circuit c = twoLayerCircuit();
    std::string zeroLayers = kTwoLayerText;
    zeroLayers.replace(zeroLayers.find(": 2"), 3, ": 0");
    EXPECT_FALSE(c.parseFromJSON(zeroLayers));
    EXPECT_EQ(c.getCircuit().size(), 2u);

    auto gateText = [](const char* name, int qubit2) {
        return std::string("{\n \"gate name\" : \"") + name + "\",\n \"qubit\" : 0,\n \"qubit2\" : " +
               std::to_string(qubit2) + ",\n \"angle\" : -1\n}";
    };
    gate_unit g;
    EXPECT_FALSE(g.parseFromJSON(gateText("YCON", 65535)));
    EXPECT_TRUE(g.parseFromJSON(gateText("YCON", 4)));
    EXPECT_FALSE(g.parseFromJSON(gateText("X", 4)));

    EXPECT_TRUE(g.parseFromJSON(gate_unit("Rx", 0, 0.00001).toJSON()));
    EXPECT_EQ(g.getAngle(), 1.0);  // the reader stops at the exponent
}

TEST(engine_simple_json, ScalarValues) {
    EXPECT_EQ(simple_json("{ \"qubit2\" : 3, \"qubit\" : 7 }").getInteger("qubit"), 7);
    EXPECT_EQ(simple_json(" \"qubit\" : 1 2,").getInteger("qubit"), 12);
    EXPECT_THROW(simple_json(" \"qubit\" : -1,").getInteger("qubit"), std::invalid_argument);
    EXPECT_EQ(simple_json(" \"angle\" : -90.5\n").getDouble("angle"), -90.5);
    EXPECT_EQ(simple_json(" \"angle\" : 1e-05").getDouble("angle"), 1.0);
    EXPECT_EQ(simple_json(" \"angle\" : 3.14.15").getDouble("angle"), 3.14);
    EXPECT_THROW(simple_json(" \"angle\" : x").getDouble("angle"), std::invalid_argument);
    EXPECT_EQ(simple_json(" \"gate name\" : \"CNOT\",").getString("gate name"), "CNOT");
}

TEST(engine_simple_json, MissingKeysReportAndFallBack) {
    const simple_json json("{\"a\" : 1}");
    testing::internal::CaptureStdout();
    EXPECT_EQ(json.getInteger("b"), -1);
    EXPECT_EQ(json.getDouble("b"), 4294967295.0);
    EXPECT_EQ(json.getString("b"), "");
    EXPECT_TRUE(json.getJSONArray("b").empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "invalid keyword\ninvalid keyword\ninvalid keyword\ninvalid keyword\n");
}

TEST(engine_simple_json, PairsAndArrays) {
    const std::string s = "[{a}{b}]";
    EXPECT_EQ(simple_json::getPairPosition(s, '{', '}', 1), (std::vector<unsigned long>{1, 3}));
    EXPECT_EQ(simple_json::getPairPosition(s, '{', '}', 4), (std::vector<unsigned long>{4, 6}));
    EXPECT_EQ(simple_json::getPairPosition(s, '{', '}', 7)[0], std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(simple_json::getPairPosition("{", '{', '}', 0), (std::vector<unsigned long>{0, 0}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid pair chars.\n");

    const simple_json json("{\"list\" : [{\"x\" : [1]}, 5, {\"y\" : 2}]}");
    EXPECT_EQ(json.getJSONArray("list"), (std::vector<std::string>{"{\"x\" : [1]}", "{\"y\" : 2}"}));
    EXPECT_EQ(json.getSubJSON('[', ']', 0), "[{\"x\" : [1]}, 5, {\"y\" : 2}]");
    EXPECT_THROW(simple_json("\"list\" : 3").getJSONArray("list"), std::out_of_range);
}

}  // namespace

namespace {

// Conditions compare the whole number their bits form, however wide: checked
// against 128-bit arithmetic for registers of up to 100 bits and constants
// on both sides of 2^31, 2^63 and the register's own range.
TEST(engine_condition, WideRegistersCompareTheWholeNumber) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 4000; ++trial) {
        const std::size_t width = 1 + rng() % 100;
        std::vector<char> bits(width);
        unsigned __int128 number = 0;
        for (char& b : bits) {
            b = static_cast<char>(rng() % 2);
            number = (number << 1) | static_cast<unsigned>(b);
        }
        // The constant: the number itself, a neighbour, or random bits of
        // up to 110 digits; sometimes negative.
        std::string digits;
        const std::size_t length = 1 + rng() % 110;
        for (std::size_t i = 0; i < length; ++i) digits += (rng() % 2) ? '1' : '0';
        unsigned __int128 constant = 0;
        for (char d : digits) constant = (constant << 1) | static_cast<unsigned>(d - '0');
        if (rng() % 3 == 0) constant = number + (rng() % 3) - 1;
        std::string binary;
        for (unsigned __int128 c = constant; c != 0; c >>= 1) binary.insert(binary.begin(), char('0' + int(c & 1)));
        const bool negative = rng() % 8 == 0 && constant != 0;
        wide_integer value;
        ASSERT_TRUE(wide_integer::from_binary(negative, binary, value));
        const RELATION relation = static_cast<RELATION>(rng() % 6);
        std::vector<unsigned long> clbits(width);
        const condition c(clbits, relation, value);
        const int order = negative ? 1 : (number < constant ? -1 : number > constant ? 1 : 0);
        const bool expected[] = {order == 0, order != 0, order < 0, order > 0, order <= 0, order >= 0};
        ASSERT_EQ(c.holds(bits), expected[relation]) << "trial " << trial;
    }
    wide_integer refused;
    EXPECT_FALSE(wide_integer::from_binary(false, "012", refused));
    EXPECT_EQ(wide_integer(-1).low_bits(), ~std::uint64_t{0});
}

}  // namespace
