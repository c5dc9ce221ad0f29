// BasicSimulator.execute as Python calls it: the configuration and the graph
// are read once, under the interpreter lock; the run itself is plain C++ and
// runs without the lock, reaching Python only to run pending signal handlers.
#include "bindings/simulator_driver.h"

#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "comm/rank_comm.h"
#include "graph/graph_program.h"
#include "bindings/rank_failure.h"
#include "bindings/config/simulator_config.h"
#include "comm/rank_session.h"
#include "graph/graph_reader.h"
#include "core/memory_budget.h"
#include "graph/python_exit.h"

namespace py = pybind11;

namespace {

// `execute` calls in progress on this thread's call chain: a parameter
// function may run a circuit, and one that runs its own would never end.
thread_local int nesting = 0;

class nesting_guard {
public:
    nesting_guard() {
        if (nesting >= BasicSimulator::kMaxNestedRuns) {
            throw std::runtime_error("BasicSimulator.execute calls are nested more than " +
                                     std::to_string(BasicSimulator::kMaxNestedRuns) +
                                     " deep (does a parameter function run its own circuit?)");
        }
        ++nesting;
    }
    ~nesting_guard() { --nesting; }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;
};

// Between stretches of a run, at most every 100 ms: takes the interpreter
// lock just to run pending signal handlers (Ctrl-C), and stops the run when
// one raised. Only the main thread runs handlers; elsewhere this never stops.
gates::keep_going interruptible() {
    using clock = std::chrono::steady_clock;
    return [last = clock::now()]() mutable {
        if (clock::now() - last < std::chrono::milliseconds(100)) return true;
        last = clock::now();
        python_exit::acquired acquire;
        return PyErr_CheckSignals() == 0;
    };
}

// The sub-circuits the run simulates, each refused for its size before
// any is read, as the run would refuse it.
std::vector<program::sub_circuit> read_program(const igraph_t* graph, const std::vector<int>& order,
                                               const simulator_options& options) {
    const graph_attributes::graph_reader reader(graph);
    const bool parallel = options.parallel;
    const std::vector<frontend::sub_circuit_source> sources = frontend::simulator_sources(reader, order, parallel);
    // The result is keyed by the first sub-circuit's qubits: one it lacks
    // would key nothing (a key of no characters). Under "mcbits", which
    // the keys then follow, such a qubit is refused all the same: it says
    // the caller counts the register otherwise than the circuit does.
    if (!sources.empty()) {
        for (int q : options.mqubits) {
            if (q < 0 || q >= sources.front().qnum) {
                const std::string size = std::to_string(sources.front().qnum);
                throw std::invalid_argument("\"mqubits\" names qubit " + std::to_string(q) + ", outside [0, " + size +
                                            "): the register has " + size + " qubits");
            }
        }
    }
    double total_bytes = 0;
    for (const frontend::sub_circuit_source& source : sources) {
        // Only the first sub-circuit's result is reported: the others form
        // every probability.
        const bool first = &source == &sources.front();
        const int formed = first ? BasicSimulator::probability_bits(options, source.qnum) : source.qnum;
        // A density matrix is refused for its own size, long before a state
        // vector of as many qubits would be.
        if (options.method == run_method::density_matrix) BasicSimulator::check_density_size(source.qnum);
        if (!parallel) {
            BasicSimulator::check_run_size(source.qnum, source.cnum, formed, options.amplitude_bytes());
        } else if (rank_comm::world().size <= 1) {  // a spread run checks each rank's share itself
            BasicSimulator::check_register_size(source.qnum, source.cnum, total_bytes, formed,
                                                options.amplitude_bytes());
        }
        total_bytes += BasicSimulator::estimated_bytes(source.qnum, source.cnum, formed, options.amplitude_bytes());
    }
    std::vector<program::sub_circuit> subs;
    subs.reserve(sources.size());
    for (const frontend::sub_circuit_source& source : sources)
        subs.push_back(frontend::read_sub_circuit(reader, source.vertices, source.qnum, source.cnum));
    return subs;
}

// Runs `work` without the interpreter lock, with a context whose stop and
// warnings reach Python once the lock is back.
template <typename Work>
auto without_lock(Work work) {
    run_context context;
    context.keep_going = interruptible();
    std::optional<decltype(work(context))> done;
    try {
        python_exit::released release;
        done.emplace(work(context));
    } catch (const run_stopped&) {
        throw py::error_already_set();  // the signal handler's exception, KeyboardInterrupt for Ctrl-C
    }
    for (const std::string& warning : context.warnings)
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
    return std::move(*done);
}

// Refuses a program with free parameters where values cannot be given.
void require_bound(const std::vector<program::sub_circuit>& subs) {
    for (const program::sub_circuit& sub : subs) {
        if (sub.parameters.empty()) continue;
        std::string names;
        for (const std::string& name : sub.parameters) names += (names.empty() ? "" : ", ") + name;
        throw std::invalid_argument("the graph names free parameters (" + names +
                                    "): give their values to kovra_backends.compile(graph, config).run(values)");
    }
}

// The configuration and the program, read once, in the order callers have
// seen their errors: the graph's order, the options, then the vertices.
struct read_circuit {
    simulator_options options;
    std::vector<program::sub_circuit> subs;
    bool mqubits_unreadable = false;
};

read_circuit read_all(const igraph_t* graph, const config_reader& config) {
    const std::vector<int> order = graph_attributes::graph_reader(graph).topological_order();
    read_circuit read;
    read.options = module_options::read_simulator_options(config, read.mqubits_unreadable);
    // A run that draws its shots needs their number (and its keys) first.
    if (!read.options.probabilities)
        read.options.shots = module_options::read_drawn_shots(config, read.mqubits_unreadable);
    read.subs = read_program(graph, order, read.options);
    return read;
}

Result execute_here(BasicSimulator& simulator, const igraph_t* graph, const config_reader& config) {
    nesting_guard nested;
    read_circuit read = read_all(graph, config);
    require_bound(read.subs);
    Result result = without_lock(
        [&](run_context& context) { return simulator.execute(std::move(read.subs), read.options, context); });
    result.shots = module_options::read_shots(config, read.mqubits_unreadable);
    return result;
}

}  // namespace

compiled_program compile_simulator(const igraph_t* graph, const config_reader& config) {
    nesting_guard nested;
    read_circuit read = read_all(graph, config);
    read.options.shots = module_options::read_shots(config, read.mqubits_unreadable);
    return compiled_program(std::move(read.subs), std::move(read.options));
}

std::vector<Result> run_compiled(const compiled_program& program, const double* values, std::size_t sets,
                                 bool expectations_only) {
    rank_session session;
    try {
        // The results the sweep keeps, held in the budget while the runs
        // reserve theirs: a sweep of millions of small sets otherwise ends in
        // std::bad_alloc long after it started.
        const double each = program.result_bytes(expectations_only);
        const memory_budget::reservation kept = memory_budget::reserve(
            each * static_cast<double>(sets), "the results of " + std::to_string(sets) + " sets of values (" +
                                                  std::to_string(static_cast<long long>(each)) + " bytes a set)");
        return without_lock([&](run_context& context) {
            return program.run_sets(values, sets, context, expectations_only);
        });
    } catch (...) {
        rank_failure::raise(session);
    }
}

Result execute_simulator(BasicSimulator& simulator, const igraph_t* graph, const config_reader& config) {
    // In an MPI job a failure on this rank alone must reach the other ranks,
    // which would otherwise wait for it.
    rank_session session;
    try {
        return execute_here(simulator, graph, config);
    } catch (...) {
        rank_failure::raise(session);
    }
}
