// Circuit records: gate applications with optional classical conditions,
// layers of gates, and whole circuits. Plain copyable values.
//
// The records and their text (toJSON) are in the run library the module
// links. Running a record gate by gate (execute) and reading the text back
// (parseFromJSON) are in the history library (kovra_engine_history), which
// only the history-keeping engine, the tests and the fuzz targets link.
#pragma once

#include <complex>
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "ir/gates.h"
#include "ir/wide_integer.h"

// How the number read from a branch's classical bits is compared with a
// condition's value. Any other value makes a condition false.
enum RELATION : int {
    EQUAL = 0,
    NOT_EQUAL = 1,
    LESS = 2,
    GREATER = 3,
    LESS_EQUAL = 4,
    GREATER_EQUAL = 5,
};

// A comparison of classical bits with a value. The bits form a number with
// the first listed bit as its most significant bit, as wide as the list:
// the whole number is compared, however many bits it has. No bits: no
// condition.
class condition {
public:
    condition() = default;
    condition(const std::vector<unsigned long>& clbits, RELATION relation, wide_integer value);

    bool isValid() const { return !clbits.empty(); }
    bool operator==(const condition& other) const;
    bool operator!=(const condition& other) const { return !(*this == other); }

    std::vector<unsigned long> getClbits() const { return clbits; }
    RELATION getRelation() const { return relation; }
    const wide_integer& getValue() const { return value; }

    // Whether the number whose binary digits are `bits` (one per listed bit,
    // in list order) satisfies the relation.
    bool holds(const std::vector<char>& bits) const;

private:
    friend struct hash_condition;

    std::vector<unsigned long> clbits;
    RELATION relation = EQUAL;
    wide_integer value;
};

// The value's lowest 64 bits (two's complement) XORed with every bit number. The relation is not
// hashed: equal conditions still hash equally.
struct hash_condition {
    std::size_t operator()(const condition& c) const;
};

// Marks "no such qubit" in the second and third qubit fields.
constexpr unsigned long NO_QUBIT = 0xffff;

// One gate application. Qubit numbers count from 0; qubit 0 is the most
// significant bit of the state-vector index.
class gate_unit {
public:
    gate_unit() = default;

    // One-qubit gates (also MEASURE). Two-qubit kinds are refused.
    gate_unit(const std::string& name, unsigned long qubit);
    gate_unit(GATE_INDEX index, unsigned long qubit);

    // A gate with an angle in degrees. By name any gate is accepted (a fixed
    // gate ignores the angle); by index only Rx, Ry, Rz and P. These take
    // floating-point angles only, so that gate_unit("CNOT", 0, 1) picks the
    // two-qubit form below.
    template <typename Angle, typename = std::enable_if_t<std::is_floating_point<Angle>::value>>
    gate_unit(const std::string& name, unsigned long qubit, Angle angle)
        : gate_unit(name, qubit, static_cast<double>(angle), angle_tag{}) {}
    template <typename Angle, typename = std::enable_if_t<std::is_floating_point<Angle>::value>>
    gate_unit(GATE_INDEX index, unsigned long qubit, Angle angle)
        : gate_unit(index, qubit, static_cast<double>(angle), angle_tag{}) {}

    // CNOT, YCON, ZCON: qubit controls, qubit2 is the target.
    gate_unit(const std::string& name, unsigned long qubit, unsigned long qubit2);
    gate_unit(GATE_INDEX index, unsigned long qubit, unsigned long qubit2);

    // CCX: qubit and qubit2 control, qubit3 is the target.
    gate_unit(const std::string& name, unsigned long qubit, unsigned long qubit2, unsigned long qubit3);
    gate_unit(GATE_INDEX index, unsigned long qubit, unsigned long qubit2, unsigned long qubit3);

    std::string getGateName() const { return name; }
    // The kind whose kernel execute() runs: the one its name selects.
    GATE_INDEX kernelIndex() const { return gates::getGateIndex(name); }
    GATE_INDEX getGateIndex() const { return index; }
    unsigned long getQubit() const { return qubit; }
    unsigned long getQubit2() const { return qubit2; }
    unsigned long getQubit3() const { return qubit3; }
    unsigned long getQubitNum() const { return qubitNum; }
    double getAngle() const { return angle; }

    void setClbitTarget(unsigned long clbit) { clbitTarget = clbit; }
    unsigned long getClbitTarget() const { return clbitTarget; }

    bool hasCondition() const { return cond.isValid(); }
    void setCondition(const condition& c) { cond = c; }
    condition getCondition() const { return cond; }

    // Applies the gate, chosen by its name, to the state vector. False, with
    // the state untouched, for a measurement, a name outside the catalogue, or
    // qubits that the vector does not have or that coincide.
    bool execute(std::vector<std::complex<double>>& state) const;

    std::string toJSON() const;
    bool parseFromJSON(const std::string& text);

private:
    struct angle_tag {};
    gate_unit(const std::string& name, unsigned long qubit, double angle, angle_tag);
    gate_unit(GATE_INDEX index, unsigned long qubit, double angle, angle_tag);

    std::string name;
    GATE_INDEX index = GATE_INVALID;
    unsigned long qubit = NO_QUBIT;
    unsigned long qubit2 = NO_QUBIT;
    unsigned long qubit3 = NO_QUBIT;
    unsigned long qubitNum = 0;
    double angle = -1.0;
    unsigned long clbitTarget = NO_QUBIT;  // not set
    condition cond;
};

// One layer of gates, in execution order.
class circuit_unit {
public:
    circuit_unit() = default;
    circuit_unit(const std::vector<gate_unit>& gates);

    unsigned long getQubitNum() const { return qubitNum; }
    unsigned long getMeasureNum() const { return measureNum; }
    std::vector<gate_unit> getCircuitUnit() const { return gateUnits; }
    // The gates without a copy.
    const std::vector<gate_unit>& gateList() const { return gateUnits; }

    // Applies the gates in order and stops at the first that fails.
    bool execute(std::vector<std::complex<double>>& state) const;

    std::string toJSON() const;
    bool parseFromJSON(const std::string& text);

private:
    unsigned long qubitNum = 0;    // sum of the gates' qubit counts
    unsigned long measureNum = 0;  // number of MEASURE gates
    std::vector<gate_unit> gateUnits;
};

// A layered circuit. Every measurement removes its qubit from the later
// layers, and the constructors check that the layers' qubit counts agree.
class circuit {
public:
    circuit() = default;
    circuit(const std::vector<circuit_unit>& units);
    circuit(const std::vector<circuit_unit>& units, unsigned long clbitNum);

    // Throws std::exception when a layer's qubit count differs from the first
    // layer's minus the measurements before it.
    void setCircuit(const std::vector<circuit_unit>& units);

    unsigned long getQubitNum() const { return qubitNum; }
    unsigned long getClbitNum() const { return clbitNum; }
    unsigned long getCircuitNum() const { return circuitNum; }
    std::vector<circuit_unit> getCircuit() const { return units; }
    // The layers without a copy.
    const std::vector<circuit_unit>& layerList() const { return units; }

    // Runs the layers without branching; false at the first failing layer.
    bool execute(std::vector<std::complex<double>>& state) const;

    std::string toJSON() const;
    bool parseFromJSON(const std::string& text);

private:
    unsigned long qubitNum = 0;
    unsigned long clbitNum = 0;
    unsigned long circuitNum = 0;
    std::vector<circuit_unit> units;
};
