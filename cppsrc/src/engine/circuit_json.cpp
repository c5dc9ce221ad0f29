// The circuit text: a fixed layout written by concatenation, read back with
// the keyword reader. Only name, qubits and angle of each gate travel.
#include <locale>
#include <sstream>

#include "engine/circuit.h"
#include "engine/simple_json.h"

namespace {

// As a default-configured output stream writes a double: six significant
// digits, the shorter notation, no trailing zeros.
std::string formatAngle(double angle) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << angle;
    return out.str();
}

// Integers are read as int and widened with sign extension, so a missing key
// (-1) becomes the largest unsigned value.
unsigned long widen(int value) { return static_cast<unsigned long>(static_cast<long>(value)); }

template <typename Record>
std::string joinObjects(const std::vector<Record>& records) {
    std::string out;
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (k > 0) out += ", ";
        out += records[k].toJSON();
    }
    return out + "]";
}

}  // namespace

std::string gate_unit::toJSON() const {
    return "{\n \"gate name\" : \"" + name + "\",\n \"qubit\" : " + std::to_string(qubit) +
           ",\n \"qubit2\" : " + std::to_string(qubit2) + ",\n \"angle\" : " + formatAngle(angle) + "\n}";
}

std::string circuit_unit::toJSON() const {
    return "{\n \"circuit unit\" : [" + joinObjects(gateUnits) + "\n}";
}

std::string circuit::toJSON() const {
    return "{\n \"circuit number\" : " + std::to_string(circuitNum) + ",\n \"qubit number\" : " +
           std::to_string(qubitNum) + ",\n \"circuit\" : [" + joinObjects(units) + "\n}";
}

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
