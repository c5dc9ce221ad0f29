// The front end of the state-vector back end: reads the circuit graph once,
// under the interpreter lock, into a program (program/program.h).
//
// Gates name qubits and classical bits by graph-level index; register
// declarations renumber them densely in the order of their first
// graph-level index, all of them before the first op is read. Calls of
// definitions are expanded in place, their parameter functions evaluated,
// and every vertex the run cannot take is refused here, by vertex.
#pragma once

#include <igraph.h>

#include <cstddef>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ir/program.h"
#include "graph/graph_reader.h"

namespace frontend {

// A vertex the front end cannot read. The message names the vertex, its
// name and the definition and call it sits in; module/ raises it as
// kovra_backends.CircuitError (a RuntimeError and a ValueError), or the
// subclass its fault names.
struct vertex_error : std::runtime_error {
    enum class fault {
        invalid,     // CircuitError
        undeclared,  // CircuitIndexError, also an IndexError: a qubit or bit no register declares
        parameter,   // ParameterError, also a TypeError: a parameter function that is none or gives no number
    };
    vertex_error(fault kind, int vertex, std::string name, const std::string& message)
        : std::runtime_error(message), kind(kind), vertex(vertex), name(std::move(name)) {}
    fault kind;
    int vertex;
    std::string name;  // the vertex's "name" (its gate), empty when it has none
};

using program::kMaxQubits;
// Calls of sub-circuit definitions nest at most this deep.
constexpr int kMaxCallDepth = 64;

// A number for messages, the same for both back ends: integral values
// without a fraction, others with up to 15 significant digits.
std::string number_text(double value);

// The kind of a vertex from its raw "type" entry: integers (read as
// operator.index would), and floats with an integral value. Empty for None,
// absent or anything else.
std::optional<long> vertex_kind(const graph_attributes::py_ref& entry);

// The weakly connected parts of the graph that contain a register
// declaration, ordered by their smallest register vertex id.
std::vector<std::set<int>> sub_circuits(const graph_attributes::graph_reader& reader);

// The vertices and register size of one sub-circuit a run simulates.
struct sub_circuit_source {
    std::vector<int> vertices;  // in the order they act
    int qnum;
    int cnum;
};

// The sub-circuits a BasicSimulator run simulates, their vertices in
// `order`: all of them as one register on the graph's "qnum" qubits and
// "cnum" classical bits, or (`parallel`) one register per sub-circuit that
// holds a qubit, sized by its qubit and classical-bit vertices.
std::vector<sub_circuit_source> simulator_sources(const graph_attributes::graph_reader& reader,
                                                  const std::vector<int>& order, bool parallel);

// Reads `order` (vertices of the graph, in the order they act) into one
// sub-circuit on `qnum` qubits and `cnum` classical bits.
program::sub_circuit read_sub_circuit(const graph_attributes::graph_reader& reader, const std::vector<int>& order,
                                      int qnum, int cnum);

// How large the device's task message may grow: calls that would expand
// past it are refused before they are expanded.
struct device_limits {
    std::size_t bytes_per_operation = 1;  // the fewest bytes one more operation adds
    std::size_t line_bytes = 0;           // the longest message the device takes
};

// Reads the main circuit (the sub-circuits that hold a register
// declaration) for the NMR device: in topological order, every gate vertex
// with one to three wires an op named as the vertex is, on the qubits its
// wires carry, calls expanded in place. The sub-circuit numbers qubits as
// the graph does and holds the graph's "qnum" (no ops when it is below 1).
// Refuses, before anything reaches a device, what the device cannot run.
program::sub_circuit read_device_program(const graph_attributes::graph_reader& reader, const device_limits& limits);

}  // namespace frontend
