// The reader behind frontend::read_sub_circuit: one per sub-circuit read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/call_context.h"
#include "graph/call_expander.h"
#include "graph/definitions.h"
#include "graph/graph_program.h"
#include "ir/wide_integer.h"

namespace frontend {

class sub_circuit_reader {
public:
    sub_circuit_reader(const graph_attributes::graph_reader& reader, int qnum, int cnum);

    // Declares the registers among `order`, lowest first graph-level index first.
    void declare_registers(const std::vector<int>& order);
    // Reads one vertex of the order into ops.
    void read_vertex(int v);
    program::sub_circuit take();

private:
    using index_map = std::unordered_map<int, unsigned long>;

    struct register_label {
        int vertex;
        std::string label;
        long long first;
        long long size;
    };

    // The "name" of register vertex `v`, parsed ("q0_3": qubits 0 to 2).
    register_label read_register(int v);
    void declare_register(const register_label& r);
    // The vertex's "type" as the reader takes it; empty when it is no kind.
    std::optional<long> kind_of(int v);

    void read_gate_vertex(int v);
    void read_loop_limit(int v, const condition& cond);
    void read_measure(int v, const std::vector<double>& qubits, const condition& cond);
    // The measurement's readout errors ("readout"), if any.
    void read_readout(int v, program::op& op);
    // Moves every listed qubit to |0> ("RESET" vertices).
    void read_reset(int v, const std::vector<double>& graph_qubits, const condition& cond);
    // A constant written into a classical bit ("STORE" vertices).
    void read_store(int v, const std::vector<double>& graph_qubits, const condition& cond);
    // A channel given by its Kraus operators ("KRAUS" vertices).
    void read_kraus(int v, const std::vector<double>& graph_qubits, const condition& cond);
    // A free angle: radians offset plus coefficients of the sub-circuit's parameters.
    struct free_angle {
        std::vector<std::pair<std::size_t, double>> terms;
        double offset = 0;
    };
    // The vertex's first "params" item when it is free (free_parameters.cpp):
    // a parameter's name, or a dict of names to coefficients ("" the
    // constant). Empty for numbers.
    std::optional<free_angle> read_free_angle(int v);
    std::size_t parameter_index(const std::string& name);

    // Checks a gate against the catalogue and appends it; `free` gives its
    // angle when that is free.
    void read_gate(int v, const std::string& name, const std::vector<double>& graph_qubits,
                   const std::vector<double>& params, const condition& cond, const free_angle* free = nullptr);

    // The vertex's condition with local classical bits; empty when it has no "cmp".
    condition local_condition(int v);
    // The vertex's "constant", exactly, at any width.
    wide_integer read_constant(int v);

    // A call's body read inline (call_expander.h), each op under the
    // caller's condition where it has one.
    void expand_call(int call_vertex, const std::string& callee, const std::vector<double>& qubits,
                     const std::vector<double>& params, const condition& caller_condition);

    unsigned long local_qubit(int v, double graph_index);
    unsigned long local_clbit(int v, double graph_index);
    // The local number of graph index `graph_index` in `map`, "what" naming
    // the kind of index in messages.
    unsigned long local_index(int v, double graph_index, const index_map& map, const std::string& what,
                              const std::string& invalid);
    [[noreturn]] void fail(int v, const std::string& what) const { context_.fail(v, what); }
    void append(program::op op);

    const graph_attributes::graph_reader& reader_;
    program::sub_circuit out_;
    index_map qubits_;
    index_map clbits_;
    unsigned long qubit_counter_ = 0;
    unsigned long clbit_counter_ = 0;
    std::unordered_map<std::string, std::size_t> parameters_;  // name -> index in out_.parameters
    double next_memory_check_ = 0;  // ops at the next check
    call_context context_;
    definition_table definitions_;
    call_expander calls_{reader_, context_, definitions_, kSimulatorCalls};
};

}  // namespace frontend
