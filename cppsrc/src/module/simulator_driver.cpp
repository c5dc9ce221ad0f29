// BasicSimulator.execute: order the graph, simulate, pack the probabilities.
#include <optional>
#include <set>
#include <vector>

#include "simulator/basic_simulator.h"
#include "util/graph_attributes.h"

Result BasicSimulator::execute(const igraph_t* graph, const config_reader& config) {
    Result result;
    state_vector states;
    std::vector<double> probabilities;

    std::vector<int> order = graph_attributes::graph_reader(graph).topological_order();
    bool parallel = config.get_bool("parallel", false);
    bool print_circuit = config.get_bool("print_circuit", false);
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
    if (config.has("mqubits")) {
        try {
            for (int q : config.get_int_list("mqubits")) reported.qubits.insert(q);
        } catch (const std::exception&) {
            reported.qubits.clear();
        }
    }
    probabilities = parallel ? run_parallel(graph, order, print_circuit, states, wanted, &reported)
                             : run_sequential(graph, order, print_circuit, states, wanted, &reported);

    // Read after the run, so that a bad value is reported once the circuit
    // has been simulated (and printed).
    int shots = config.get_int("shots", 1024);
    std::set<int> mqubits;
    if (config.has("mqubits")) {
        for (int q : config.get_int_list("mqubits")) mqubits.insert(q);
    }
    result.probabilities = classical ? std::move(classical->probabilities) : pack_probabilities(probabilities, reported.reduced ? std::set<int>{} : mqubits);
    result.states = std::move(states);
    result.shots = shots;
    return result;
}
