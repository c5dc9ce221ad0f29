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

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "program/program.h"
#include "util/graph_reader.h"

namespace frontend {

// A vertex the front end cannot read. The message names the vertex, its
// name and the definition and call it sits in.
struct vertex_error : std::runtime_error {
    vertex_error(int vertex, const std::string& message) : std::runtime_error(message), vertex(vertex) {}
    int vertex;
};

// A qubit or classical bit that no register of the run declares.
struct undeclared_index : std::out_of_range {
    undeclared_index(int vertex, const std::string& message) : std::out_of_range(message), vertex(vertex) {}
    int vertex;
};

using program::kMaxQubits;
// Calls of sub-circuit definitions nest at most this deep.
constexpr int kMaxCallDepth = 64;

// A number for messages: integral values without a fraction.
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

}  // namespace frontend
