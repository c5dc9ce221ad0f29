// The circuit text: a fixed layout written by concatenation (print_circuit
// shows it). Only name, qubits and angle of each gate travel. The reader is
// in circuit_json_reader.cpp, apart, because only the tests read it back.
#include <locale>
#include <sstream>

#include "ir/circuit.h"

namespace {

// As a default-configured output stream writes a double: six significant
// digits, the shorter notation, no trailing zeros.
std::string formatAngle(double angle) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << angle;
    return out.str();
}

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
