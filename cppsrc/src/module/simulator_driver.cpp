// BasicSimulator.execute: order the graph, simulate, pack the probabilities.
#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/basic_simulator.h"
#include "simulator/rank_session.h"
#include "util/graph_reader.h"
#include "util/memory_budget.h"

namespace {

// Counts one more `execute` on the call chain, refusing one too many.
class nesting_guard {
public:
    explicit nesting_guard(int& depth) : depth_(depth) {
        if (depth_ >= BasicSimulator::kMaxNestedRuns) {
            throw std::runtime_error("BasicSimulator.execute calls are nested more than " +
                                     std::to_string(BasicSimulator::kMaxNestedRuns) +
                                     " deep (does a parameter function run its own circuit?)");
        }
        ++depth_;
    }
    ~nesting_guard() { --depth_; }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;

private:
    int& depth_;
};

}  // namespace

Result BasicSimulator::execute(const igraph_t* graph, const config_reader& config) {
    // In an MPI job a failure on this rank alone must reach the other ranks,
    // which would otherwise wait for it.
    rank_session session;
    try {
        return execute_here(graph, config);
    } catch (...) {
        session.fail();
    }
}

Result BasicSimulator::execute_here(const igraph_t* graph, const config_reader& config) {
    nesting_guard nested(nesting_);
    Result result;
    state_vector states;
    std::vector<double> probabilities;

    std::vector<int> order = graph_attributes::graph_reader(graph).topological_order();
    bool parallel = config.get_bool("parallel", false);
    bool print_circuit = config.get_bool("print_circuit", false);
    // Absent: fuse from the qubit count where it pays; False: exact, gate by gate.
    const fusion_choice fusion = !config.has("fusion") ? fusion_choice::by_size
                                 : (config.get_bool("fusion", false) ? fusion_choice::on : fusion_choice::off);
    // Classical bits to key the result by, read before the run: they change
    // what the run computes.
    std::optional<classical_readout> classical;
    if (config.has("mcbits")) {
        std::set<int> bits;
        for (int c : config.get_int_list("mcbits")) bits.insert(c);
        classical = classical_readout{{bits.begin(), bits.end()}, {}};
    }
    classical_readout* wanted = classical ? &*classical : nullptr;
    // The reported qubits as far as they read cleanly; a bad value is
    // reported by the read after the run.
    register_readout reported;
    reported.local_slice = config.get_bool("local_state", false);
    if (config.has("mqubits")) {
        try {
            for (int q : config.get_int_list("mqubits")) reported.qubits.insert(q);
        } catch (const std::exception&) {
            reported.qubits.clear();
        }
    }
    std::vector<program::sub_circuit> subs = read_program(graph, order, parallel);
    probabilities = parallel ? run_parallel(subs, print_circuit, states, wanted, &reported, fusion)
                             : simulate(subs.front(), states, print_circuit, wanted, &reported, fusion);

    // Read after the run, so that a bad value is reported once the circuit
    // has been simulated (and printed).
    int shots = config.get_int("shots", 1024);
    std::set<int> mqubits;
    if (config.has("mqubits")) {
        for (int q : config.get_int_list("mqubits")) mqubits.insert(q);
    }
    if (classical) {
        // Keyed by classical bits: the dense vector is read off those keys.
        result.set_probabilities(std::move(classical->probabilities));
    } else {
        // A reduced run has already summed over the qubits left out. The
        // keys are made only when the caller reads them.
        fill_distribution(result, std::move(probabilities), reported.reduced ? std::set<int>{} : mqubits);
    }
    result.set_states(std::move(states));
    result.shots = shots;
    return result;
}
