// A circuit as the front end reads it from the graph, once: per sub-circuit
// a flat list of typed ops on the register's qubits and classical bits,
// numbered densely from 0. Definitions are expanded, parameter functions
// evaluated and conditions resolved, so nothing here refers to the graph or
// to Python: the back ends and the C++ tests take it as plain data.
#pragma once

#include <vector>

#include "engine/circuit.h"

namespace program {

// Registers above this size cannot be addressed by a 64-bit index.
constexpr int kMaxQubits = 62;

enum class op_kind : unsigned char {
    gate,     // a catalogue gate
    measure,  // each listed qubit's outcome written into the bit beside it
    reset,    // each listed qubit back to |0>
};

struct op {
    op_kind kind = op_kind::gate;
    GATE_INDEX gate = GATE_INVALID;     // gate ops: the catalogue kind
    std::vector<unsigned long> qubits;  // register qubits, in the order listed
    std::vector<unsigned long> clbits;  // measure ops: one per qubit
    double angle = 0;                   // degrees in [0, 720), where hasAngle
    bool hasAngle = false;              // a one-qubit gate given a parameter
    condition cond;                     // gate ops: over register bits
};

// One register's circuit: what one state vector runs.
struct sub_circuit {
    int qubits = 0;
    int clbits = 0;
    std::vector<op> ops;
};

}  // namespace program
