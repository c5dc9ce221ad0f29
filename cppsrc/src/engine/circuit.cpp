#include "engine/circuit.h"

#include <exception>
#include <utility>

#include "engine/kernels.h"

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

bool gate_unit::execute(std::vector<std::complex<double>>& state) const {
    const unsigned long size = state.size();
    if (size == 0 || (size & (size - 1)) != 0) return false;
    const unsigned long n = gates::qubitCount(size);

    // The kernel is chosen by name; refuse qubits it would read out of range
    // or twice, rather than write outside the vector.
    const GATE_INDEX kernel = kernelIndex();
    const unsigned long arity = gates::gateArity(kernel);
    if (qubit >= n) return false;
    if (arity >= 2 && (qubit2 >= n || qubit2 == qubit)) return false;
    if (arity == 3 && (qubit3 >= n || qubit3 == qubit || qubit3 == qubit2)) return false;

    const unsigned long positions[3] = {n - 1 - qubit, n - 1 - qubit2, n - 1 - qubit3};
    return gates::executeGate(state, positions, kernel, angle);
}

// ---- circuit_unit ----

circuit_unit::circuit_unit(const std::vector<gate_unit>& gates) : gateUnits(gates) {
    for (const gate_unit& g : gateUnits) {
        qubitNum += g.getQubitNum();
        if (g.getGateIndex() == GATE_MEASURE) ++measureNum;
    }
}

bool circuit_unit::execute(std::vector<std::complex<double>>& state) const {
    for (const gate_unit& g : gateUnits)
        if (!g.execute(state)) return false;
    return true;
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

bool circuit::execute(std::vector<std::complex<double>>& state) const {
    for (const circuit_unit& unit : units)
        if (!unit.execute(state)) return false;
    return true;
}
