// The operations of a run, flat and typed, in the order they act on the
// lanes (the qubits of one state vector): what the one-vector runs take.
//
// The simulator places a program's ops on lanes and hands the list over
// directly; a layered circuit record converts to one (its layers in order,
// each layer's records in order), which is how the circuit text and the
// tests that build records reach the same runs.
#pragma once

#include <vector>

#include "ir/circuit.h"

struct lane_op {
    // The catalogue kind whose kernel runs; GATE_MEASURE records the
    // outcome of `qubits[0]` in `clbit`. GATE_I and GATE_INVALID do nothing.
    GATE_INDEX gate = GATE_INVALID;
    unsigned char arity = 1;  // qubits listed
    unsigned long qubits[3] = {NO_QUBIT, NO_QUBIT, NO_QUBIT};
    double angle = -1.0;     // degrees; read by Rx, Ry, Rz and P
    bool hasAngle = false;   // whether the record carries the angle
    unsigned long clbit = NO_QUBIT;
    condition cond;

    bool measures() const { return gate == GATE_MEASURE; }
    // The same operation as a circuit record, for the circuit text.
    gate_unit record() const;
};

// A measurement of `qubit` into `clbit`.
lane_op measureOn(unsigned long qubit, unsigned long clbit);

// A record as the runs read it: the kernel its name selects, its qubits,
// angle, target bit and condition.
lane_op laneOp(const gate_unit& record);

struct op_list {
    unsigned long qubits = 0;  // lanes
    unsigned long clbits = 0;
    std::vector<lane_op> ops;
};

// The circuit's records in the order its layers run them.
op_list opsOf(const circuit& c);
