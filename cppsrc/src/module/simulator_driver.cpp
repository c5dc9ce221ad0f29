// BasicSimulator.execute: order the graph, simulate, pack the probabilities.
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
    probabilities = parallel ? run_parallel(graph, order, print_circuit, states)
                             : run_sequential(graph, order, print_circuit, states);

    // Read after the run, so that a bad value is reported once the circuit
    // has been simulated (and printed).
    int shots = config.get_int("shots", 1024);
    std::set<int> mqubits;
    if (config.has("mqubits")) {
        for (int q : config.get_int_list("mqubits")) mqubits.insert(q);
    }
    result.probabilities = pack_probabilities(probabilities, mqubits);
    result.set_probability_vector(marginal_probabilities(std::move(probabilities), mqubits));
    result.set_states(std::move(states));
    result.shots = shots;
    return result;
}
