#include "ir/circuit.h"

#include <exception>
#include <utility>

namespace {

bool isTwoQubitKind(GATE_INDEX index) { return gates::gateArity(index) == 2; }


void require(bool ok) {
    if (!ok) throw std::exception();
}

}  // namespace

// ---- condition ----

condition::condition(const std::vector<unsigned long>& clbits, RELATION relation, wide_integer value)
    : clbits(clbits), relation(relation), value(std::move(value)) {}

bool condition::operator==(const condition& other) const {
    return clbits == other.clbits && relation == other.relation && value == other.value;
}

bool condition::holds(const std::vector<char>& bits) const {
    const int order = value.compare_unsigned(bits);  // sign of (bits - value)
    switch (relation) {
        case EQUAL: return order == 0;
        case NOT_EQUAL: return order != 0;
        case LESS: return order < 0;
        case GREATER: return order > 0;
        case LESS_EQUAL: return order <= 0;
        case GREATER_EQUAL: return order >= 0;
        default: return false;
    }
}

std::size_t hash_condition::operator()(const condition& c) const {
    auto h = static_cast<unsigned long long>(c.value.low_bits());
    for (unsigned long bit : c.clbits) h ^= bit;
    return static_cast<std::size_t>(h);
}

// ---- gate_unit ----

gate_unit::gate_unit(const std::string& name, unsigned long qubit)
    : gate_unit(gates::getGateIndex(name), qubit) {
    this->name = name;
}

gate_unit::gate_unit(GATE_INDEX index, unsigned long qubit)
    : name(gates::getGateName(index)), index(index), qubit(qubit), qubitNum(1) {
    require(!isTwoQubitKind(index));
}

gate_unit::gate_unit(const std::string& name, unsigned long qubit, double angle, angle_tag)
    : name(name), index(gates::getGateIndex(name)), qubit(qubit), qubitNum(1), angle(angle) {}

gate_unit::gate_unit(GATE_INDEX index, unsigned long qubit, double angle, angle_tag)
    : name(gates::getGateName(index)), index(index), qubit(qubit), qubitNum(1), angle(angle) {
    require(gates::takesAngle(index));
}

gate_unit::gate_unit(const std::string& name, unsigned long qubit, unsigned long qubit2)
    : gate_unit(gates::getGateIndex(name), qubit, qubit2) {
    this->name = name;
}

gate_unit::gate_unit(GATE_INDEX index, unsigned long qubit, unsigned long qubit2)
    : name(gates::getGateName(index)), index(index), qubit(qubit), qubit2(qubit2), qubitNum(2) {
    require(isTwoQubitKind(index));
}

gate_unit::gate_unit(const std::string& name, unsigned long qubit, unsigned long qubit2, unsigned long qubit3)
    : gate_unit(gates::getGateIndex(name), qubit, qubit2, qubit3) {
    this->name = name;
}

gate_unit::gate_unit(GATE_INDEX index, unsigned long qubit, unsigned long qubit2, unsigned long qubit3)
    : name(gates::getGateName(index)), index(index), qubit(qubit), qubit2(qubit2), qubit3(qubit3), qubitNum(3) {
    require(index == GATE_CCX);
}

// ---- circuit_unit ----

circuit_unit::circuit_unit(const std::vector<gate_unit>& gates) : gateUnits(gates) {
    for (const gate_unit& g : gateUnits) {
        qubitNum += g.getQubitNum();
        if (g.getGateIndex() == GATE_MEASURE) ++measureNum;
    }
}

// ---- circuit ----

circuit::circuit(const std::vector<circuit_unit>& units) { setCircuit(units); }

circuit::circuit(const std::vector<circuit_unit>& units, unsigned long clbitNum) : clbitNum(clbitNum) {
    setCircuit(units);
}

void circuit::setCircuit(const std::vector<circuit_unit>& layers) {
    units = layers;
    circuitNum = units.size();
    if (units.empty()) return;
    qubitNum = units[0].getQubitNum();
    unsigned long expected = qubitNum;
    for (std::size_t k = 1; k < units.size(); ++k) {
        expected -= units[k - 1].getMeasureNum();
        require(units[k].getQubitNum() == expected);
    }
}
