// A circuit as the front end reads it from the graph, once: per sub-circuit
// a flat list of typed ops on the register's qubits and classical bits,
// numbered densely from 0. Definitions are expanded, parameter functions
// evaluated and conditions resolved, so nothing here refers to the graph or
// to Python: the back ends and the C++ tests take it as plain data.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ir/circuit.h"

namespace program {

// Registers above this size cannot be addressed by a 64-bit index.
constexpr int kMaxQubits = 62;

enum class op_kind : unsigned char {
    gate,     // a catalogue gate
    measure,  // each listed qubit's outcome written into the bit beside it
    reset,    // each listed qubit back to |0>
    // The end of an unrolled loop (a "LOOP_LIMIT" vertex): the run is
    // refused where its condition, that the loop goes on, still holds with
    // some probability. `name` says which loop, `angle` after how many
    // iterations.
    loop_limit,
    // A quantum channel on the listed qubits, given by its Kraus operators:
    // noise, or a "KRAUS" vertex. Only a density-matrix run takes it exactly.
    channel,
    // A constant written into one classical bit (a "STORE" vertex): clbits[0]
    // takes `stored` where the condition holds. The front ends compute a
    // condition into such bits once, where it is to be read, so that what
    // runs under it later does not read bits written meanwhile. Only a run
    // of branch states takes it: one vector's record cannot overwrite a bit.
    store,
};

// A channel's Kraus operators K_k, each 2^m by 2^m row-major for m qubits,
// the first listed qubit the top bit of a row or column number; together
// they keep the trace (sum K_k^dagger K_k = 1).
struct kraus_channel {
    std::vector<std::vector<std::complex<double>>> operators;
    unsigned qubits() const;  // m, from the operators' size
};

struct op {
    op_kind kind = op_kind::gate;
    GATE_INDEX gate = GATE_INVALID;     // gate ops: the catalogue kind (GATE_INVALID for a device's own name)
    std::string name;                   // device ops: the operation name as the graph gives it
    std::vector<unsigned long> qubits;  // in the order listed, numbered as the sub-circuit says
    std::vector<unsigned long> clbits;  // measure ops: one per qubit; store ops: the bit written
    bool stored = false;                // store ops: the value written
    double angle = 0;                   // degrees in [0, 720), where hasAngle
    bool hasAngle = false;              // a one-qubit gate given a parameter
    condition cond;                     // over register bits: the op acts only where it holds
    std::shared_ptr<const kraus_channel> channel;  // channel ops: shared by the copies of a sweep
    // measure ops with readout errors: per listed qubit, the probability of
    // recording r where the outcome is t at [2 t + r]; empty when exact.
    std::vector<std::array<double, 4>> readout;
    // The angle in radians, as read: angle_offset plus, for a free angle,
    // each term's coefficient times the value of the sub-circuit's parameter
    // it names. `angle` holds a free angle only once it is bound (bind).
    std::vector<std::pair<std::size_t, double>> angle_terms;
    double angle_offset = 0;
    bool isFree() const { return !angle_terms.empty(); }
};

// How a sub-circuit numbers its qubits. The state vector renumbers the
// declared registers densely; the NMR device takes the graph's own qubit
// numbers, as the wires carry them, and keeps no registers.
enum class numbering : unsigned char { registers, graph };

// One register's circuit: what one state vector, or the device, runs.
struct sub_circuit {
    numbering qubit_numbers = numbering::registers;
    int qubits = 0;
    int clbits = 0;
    std::vector<op> ops;
    std::vector<std::string> parameters;  // the free parameters' names, in order of first use
};

// Sets the angle of every op that has one from `values` (one per parameter,
// in the sub-circuit's order), exactly: unlike an angle run through
// `execute`, a bound one does not carry the engine's calibrated pi, whether
// free or written into the graph.
void bind(sub_circuit& sub, const std::vector<double>& values);

}  // namespace program
