// Reading the circuit text back with the keyword reader (simple_json). Only
// the tests and the fuzz targets read circuit text, so this file and the
// keyword reader live in the history library and stay out of the module.
#include <string>
#include <vector>

#include "ir/circuit.h"
#include "reference/simple_json.h"

namespace {

// Integers are read as int and widened with sign extension, so a missing key
// (-1) becomes the largest unsigned value.
unsigned long widen(int value) { return static_cast<unsigned long>(static_cast<long>(value)); }

}  // namespace

bool gate_unit::parseFromJSON(const std::string& text) {
    const simple_json json(text);
    name = json.getString("gate name");
    qubit = widen(json.getInteger("qubit"));
    qubit2 = widen(json.getInteger("qubit2"));
    angle = json.getDouble("angle");
    index = gates::getGateIndex(name);
    const bool twoQubit = index == GATE_CNOT || index == GATE_YCON || index == GATE_ZCON;
    return twoQubit ? qubit2 != NO_QUBIT : qubit2 == NO_QUBIT;
}

bool circuit_unit::parseFromJSON(const std::string& text) {
    const std::vector<std::string> objects = simple_json(text).getJSONArray("circuit unit");
    gateUnits.clear();
    for (const std::string& object : objects) {
        gate_unit gate;
        gate.parseFromJSON(object);  // a gate that reads back incomplete is kept as read
        gateUnits.push_back(gate);
    }
    return true;
}

bool circuit::parseFromJSON(const std::string& text) {
    const simple_json json(text);
    const unsigned long layers = widen(json.getInteger("circuit number"));
    const unsigned long qubits = widen(json.getInteger("qubit number"));
    circuitNum = layers;
    qubitNum = qubits;
    if (layers == 0 || qubits == 0) return false;

    const std::vector<std::string> objects = json.getJSONArray("circuit");
    if (objects.empty()) return false;
    std::vector<circuit_unit> parsed;
    for (const std::string& object : objects) {
        circuit_unit unit;
        if (!unit.parseFromJSON(object)) return false;
        parsed.push_back(unit);
    }
    units = parsed;
    return true;
}
