// Lowering of an ordered vertex list into layered circuit records.
//
// Gates name qubits and classical bits by graph-level index; register
// declarations renumber them densely in the order of their first graph-level
// index, all of them before the first gate is lowered. Each local
// qubit has a lane, position k of a lane being layer k: a gate goes into the
// first layer after the last entry of all its lanes, idle lanes are padded
// with "I", and the lanes of a multi-qubit gate other than the one holding
// the record get a placeholder that layer assembly skips. A measurement is a
// barrier: every lane is padded past it, so every later gate follows it; and
// it comes after every conditioned gate placed before it that reads its bits.
//
// A measured lane is never acted on again: it keeps the outcome that labels
// the branch. A qubit used after its measurement moves to a fresh lane that
// a CNOT, placed in a layer of its own just before the measurement, fills
// with the outcome (measuring commutes with that CNOT, and the engine moves
// no amplitude for a measurement). A reset moves the qubit to a fresh lane
// in |0> and leaves the old lane untouched for ever, which traces it out:
// exactly what a reset does. A qubit nothing has acted on is already |0>,
// and its reset does nothing. The extra lanes are the record qubits.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/circuit.h"
#include "util/graph_reader.h"

namespace lowering {

using index_map = std::unordered_map<int, unsigned long>;
using lane_set = std::vector<std::vector<gate_unit>>;

// A number for messages: integral values without a fraction.
std::string number_text(double value);

// The kind of a vertex from its raw "type" entry: integers (read as
// operator.index would), and floats with an integral value. Empty for None,
// absent or anything else.
std::optional<long> vertex_kind(const graph_attributes::py_ref& entry);

class translation {
public:
    translation(const graph_attributes::graph_reader& reader, int qnum, int cnum);

    // Declares the registers among `order`, lowest first graph-level index first.
    void declare_registers(const std::vector<int>& order);
    // Lowers one vertex of the order; returns the highest layer it placed.
    int lower_vertex(int v);
    // Assembles the layers 0 .. highest placed layer into a circuit.
    circuit assemble();

    // The lane that holds each register qubit at the end, in register order.
    const std::vector<unsigned long>& final_lanes() const { return current_; }
    // Record qubits added for reused or reset qubits.
    unsigned long reuses() const { return lanes_.size() - current_.size(); }

    int lower_gate_vertex(int v);
    int expand_caller(int call_vertex, const std::string& callee, const std::vector<double>& qubits,
                      const std::vector<double>& params, const condition& caller_condition,
                      int depth);
    int place_gate(const std::string& name, const std::vector<unsigned long>& qubits,
                   std::optional<double> angle, const condition& cond);
    int place_measure(const std::vector<unsigned long>& qubits,
                      const std::vector<unsigned long>& clbits);

private:
    struct condition_parts {
        std::vector<double> bits;  // graph-level, most significant first
        RELATION relation;
        wide_integer value;
    };
    condition_parts read_condition(int v, int relation);
    // The vertex's "constant", exactly, at any width.
    wide_integer read_constant(int v);

    struct definition {
        int root;
        std::vector<int> body;  // topological order of the vertices below the root
    };

    struct register_label {
        int vertex;
        std::string label;
        long long first;
        long long size;
    };
    // The "name" of register vertex `v`, parsed ("q0_3": qubits 0 to 2).
    register_label read_register(int v);
    void declare_register(const register_label& r);
    // The vertex's "type" as lowering reads it; empty when it is no kind.
    std::optional<long> kind_of(int v);
    const definition& find_definition(int call_vertex, const std::string& callee);
    std::vector<double> evaluate_parameters(int w, const std::vector<double>& caller_params);
    // The vertex's condition with local classical bits; empty when it has no "cmp".
    condition local_condition(int v);
    // Moves every listed qubit to |0> ("RESET" vertices).
    int lower_reset(int v, const std::vector<double>& graph_qubits, const condition& cond);
    // Checks a gate against the catalogue and places it.
    int lower_gate(int v, const std::string& name, const std::vector<double>& graph_qubits,
                   const std::vector<double>& params, const condition& cond);

    unsigned long local_qubit(int v, double graph_index);
    unsigned long local_clbit(int v, double graph_index);
    // The local number of graph index `graph_index` in `map`, "what" naming
    // the kind of index in messages.
    unsigned long local_index(int v, double graph_index, const index_map& map, const std::string& what,
                              const std::string& invalid);
    // "vertex 7 (CNOT)", with the definition and call it sits in, if any.
    std::string where(int v);
    [[noreturn]] void fail(int v, const std::string& what);

    void pad(unsigned long q, std::size_t length);
    // The assembled circuit holds a record for every lane in every layer,
    // and the run copies it: refuses a lowering, as its layers grow, whose
    // copies could not be had (see memory_budget.h).
    void check_layer_memory(std::size_t layer);
    // The lane a gate on register qubit q acts on, moving q to a fresh lane
    // first when its lane has been measured.
    unsigned long lane_for_use(unsigned long q);
    unsigned long new_lane();
    void insert_layer(std::size_t at);
    void place_reset(unsigned long q);

    const graph_attributes::graph_reader& reader_;
    int qnum_;
    int cnum_;
    index_map qubits_;
    index_map clbits_;
    unsigned long qubit_counter_ = 0;
    unsigned long clbit_counter_ = 0;
    lane_set lanes_;
    std::vector<unsigned long> current_;  // register qubit -> its lane
    std::vector<char> touched_;           // per lane: something besides "I" was placed
    std::unordered_map<unsigned long, std::size_t> measured_at_;  // lane -> its measurement layer
    std::size_t barrier_ = 0;             // every lane is padded to this (the last measurement + 1)
    // Per local classical bit: one past the last layer a conditioned gate reads it in.
    std::unordered_map<unsigned long, std::size_t> last_read_;
    int highest_layer_ = 0;
    double next_memory_check_ = 0;  // records (layers times qubits) at the next check
    long expanded_ = 0;
    std::unordered_map<std::string, definition> definitions_;
    // Call vertices and definition names of the expansion in progress.
    std::vector<std::pair<int, std::string>> calls_;
};

}  // namespace lowering
