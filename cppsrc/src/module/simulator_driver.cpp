// BasicSimulator.execute: order the graph, simulate, pack the probabilities.
#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/basic_simulator.h"
#include "simulator/lowering.h"
#include "util/graph_attributes.h"
#include "util/memory_budget.h"

namespace {

// Bytes of one entry of the probability map besides its key text: the tree
// node, the string and double it holds, and the allocator's overhead.
constexpr double kMapBytesPerKey = 112;

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

// The probability map of a run costs a tree node and a key per outcome kept,
// far more than the vector it is made from: reserve it before it is built,
// from the outcomes the vector really has.
memory_budget::reservation reserve_packing(const std::vector<double>& probabilities,
                                           const std::set<int>& mqubits) {
    double kept = 0;
    for (double p : probabilities) kept += std::fabs(p) > 1e-10 ? 1 : 0;
    double width = std::log2(std::max<double>(1.0, static_cast<double>(probabilities.size())));
    double bytes = kept * (kMapBytesPerKey + width);
    if (!mqubits.empty()) {
        width = static_cast<double>(mqubits.size());
        // Partial keys: one sum and one flag per possible key while summing.
        bytes = std::min(kept, std::ldexp(1.0, static_cast<int>(width))) * (kMapBytesPerKey + width) +
                std::ldexp(9.0, static_cast<int>(std::min(width, 62.0)));
    }
    return memory_budget::reserve(bytes, "the probabilities of " + lowering::number_text(kept) +
                                             " outcomes");
}

}  // namespace

Result BasicSimulator::execute(const igraph_t* graph, const config_reader& config) {
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
    probabilities = parallel ? run_parallel(graph, order, print_circuit, states, wanted, &reported, fusion)
                             : run_sequential(graph, order, print_circuit, states, wanted, &reported, fusion);

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
        // A spread run has already summed over the qubits left out.
        const std::set<int> packed = reported.reduced ? std::set<int>{} : mqubits;
        memory_budget::reservation packing = reserve_packing(probabilities, packed);
        result.probabilities = pack_probabilities(probabilities, packed);
        result.set_probability_vector(reported.reduced ? std::move(reported.unfiltered)
                                                       : marginal_probabilities(std::move(probabilities), mqubits));
    }
    result.set_states(std::move(states));
    result.shots = shots;
    return result;
}
