#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <exception>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <typeinfo>

#include "engine/rank_comm.h"
#include "engine/sliced_run.h"
#include "simulator/basic_simulator.h"
#include "simulator/rank_session.h"
#include "simulator/readout.h"
#include "simulator/spread_run.h"
#include "util/memory_budget.h"
#include "util/python_exit.h"
#include "util/vertex_kinds.h"

namespace py = pybind11;
using graph_attributes::graph_reader;
using spread_run::reducible;
using spread_run::requested_bit_lanes;
using spread_run::run_spread;
using spread_run::spread_bits;

namespace {

// The vertices of `order` that belong to `part`, in order.
std::vector<int> vertex_list(const std::vector<int>& order, const std::set<int>& part) {
    std::vector<int> list;
    for (int v : order) {
        if (part.count(v)) list.push_back(v);
    }
    return list;
}

int count_kind(const graph_reader& reader, const std::vector<int>& vertices, vertex_kinds::kind kind) {
    int count = 0;
    for (int v : vertices) {
        if (frontend::vertex_kind(reader.entry("type", v)) == kind) ++count;
    }
    return count;
}

// A graph attribute that must be a non-negative 32-bit count.
int graph_count(const graph_reader& reader, const char* key) {
    double value = reader.graph_number(key);
    if (value < 0 || value >= 2147483648.0) {
        throw std::invalid_argument("graph attribute \"" + std::string(key) + "\" is " +
                                    std::to_string(value) + ", not a count of bits");
    }
    return static_cast<int>(value);
}

// Extra threads for parallel runs, process-wide: one per processor, shared by
// all calls (nested ones included), so a call gets fewer when others hold
// them, and none when none is free.
std::atomic<long> spare_threads{std::max(1L, static_cast<long>(std::thread::hardware_concurrency()))};

long reserve_threads(long wanted) {
    long free = spare_threads.load();
    long taken;
    do {
        taken = std::min(free, wanted);
        if (taken <= 0) return 0;
    } while (!spare_threads.compare_exchange_weak(free, free - taken));
    return taken;
}

// Up to `wanted` threads that each run `work` once; joined on destruction.
class worker_pool {
public:
    worker_pool(std::size_t wanted, const std::function<void()>& work)
        : reserved_(reserve_threads(static_cast<long>(wanted))) {
        for (long k = 0; k < reserved_; ++k) {
            try {
                threads_.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // the caller's thread does the rest
            }
        }
    }
    ~worker_pool() {
        for (std::thread& t : threads_) t.join();
        spare_threads += reserved_;
    }
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

private:
    long reserved_;
    std::vector<std::thread> threads_;
};

}  // namespace

thread_local int BasicSimulator::nesting_ = 0;

double BasicSimulator::estimated_bytes(int qnum, int /*cnum*/) {
    // The state vector and its probabilities; classical bits cost nothing
    // until a measurement writes them, and then only a record of the qubit.
    return std::ldexp(16.0 + 8.0, qnum);
}

namespace {

void check_register_shape(int qnum, int cnum) {
    if (qnum < 0 || cnum < 0) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) + " qubits and " +
                                    std::to_string(cnum) + " classical bits");
    }
    if (qnum > BasicSimulator::kMaxQubits) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) +
                                    " qubits: the state vector would have 2^" +
                                    std::to_string(qnum) + " amplitudes");
    }
}

}  // namespace

void BasicSimulator::check_register_size(int qnum, int cnum, double other_bytes) {
    check_register_shape(qnum, cnum);
    // Refused at once when the machine cannot hold it at all; the run itself
    // reserves its memory in the process-wide budget.
    double needed = estimated_bytes(qnum, cnum) + other_bytes;
    if (needed < memory_budget::kSmallBytes) return;  // not worth reading /proc for
    double available = memory_budget::free_bytes();
    if (needed > available) {
        std::string beside = other_bytes > 0 ? " beside the sub-circuits before them" : "";
        throw memory_budget::exceeded("cannot simulate " + std::to_string(qnum) + " qubits" + beside + ": " +
                                      memory_budget::mebibytes(needed) + " MiB needed, only " +
                                      memory_budget::mebibytes(std::max(available, 0.0)) +
                                      " MiB are available");
    }
}

namespace {

// The checks a run makes before anything is read or allocated: the whole
// register on this machine, or its shape where MPI ranks share it.
void check_run_size(int qnum, int cnum) {
    if (spread_bits(qnum) > 0)
        check_register_shape(qnum, cnum);
    else
        BasicSimulator::check_register_size(qnum, cnum);
}

// The run's vectors, reserved in the process-wide budget until they exist.
// Each reuse of a measured or reset qubit adds a record qubit, doubling them.
memory_budget::reservation reserve_run(int qnum, int cnum, unsigned long lanes, unsigned long reuses) {
    std::string what = "the state vector and probabilities of " + std::to_string(qnum) + " qubits";
    if (reuses > 0) {
        what += " with " + std::to_string(reuses) + " reuses of measured or reset qubits (each adds a record qubit: " +
                std::to_string(lanes) + " qubits in all)";
    }
    return memory_budget::reserve(BasicSimulator::estimated_bytes(static_cast<int>(lanes), cnum), what);
}

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

}  // namespace

std::vector<double> BasicSimulator::simulate(const program::sub_circuit& sub, state_vector& states,
                                             bool print_circuit, classical_readout* classical,
                                             register_readout* reported, fusion_choice fusion) {
    const int qnum = sub.qubits, cnum = sub.clbits;
    const int bits = spread_bits(qnum);
    check_run_size(qnum, cnum);
    placement::placed_run lowered = place(sub);
    if (print_circuit) std::cout << placement::layered(lowered).toJSON() << '\n' << std::flush;
    if (bits > 0) {
        try {
            return run_spread(lowered, qnum, cnum, bits, states, classical, reported, fusion);
        } catch (const std::exception& e) {
            if (typeid(e) != typeid(std::exception)) throw;
            throw std::runtime_error("the state-vector engine refused the lowered circuit");
        }
    }
    // Too small to split: every rank runs it whole, once all agree on it.
    if (rank_session::current() != nullptr)
        spread_run::agree_on_whole_run(lowered, qnum, cnum, fusion, classical, reported);
    const unsigned long lanes = lowered.run.qubits;

    // A result over a few of the register's qubits is summed straight from
    // the amplitudes, in the order the full vector would be, without a
    // vector of 2^n probabilities and two passes over it.
    std::vector<unsigned long> reportedLanes;
    const bool reduced = !classical && lanes == static_cast<unsigned long>(qnum) &&
                         reducible(lowered, reported, reportedLanes);
    // With record lanes, the register's probabilities are likewise summed
    // over them straight from the amplitudes.
    const bool overRecords = !classical && lanes > static_cast<unsigned long>(qnum);

    // Held until both vectors exist: other runs then see them as taken.
    memory_budget::reservation held = reserve_run(qnum, cnum, lanes, lowered.reuses);
    std::vector<double> probabilities;
    python_exit::released release;
    try {
        // Every measurement branch is a slice of the one vector: memory is
        // the register's (and its record qubits'), whatever the number of
        // measurements.
        sliced_run run(std::move(lowered.run), fusion);
        run.execute(interruptible());
        if (reduced) {
            probabilities = run.marginal(reportedLanes);
            reported->reduced = true;
        } else if (overRecords) {
            probabilities = run.marginal(lowered.register_lanes);
        } else {
            probabilities = run.probabilities();
        }
        if (classical) {
            classical->probabilities = readout::clbitDistribution(
                probabilities, lanes, requested_bit_lanes(run.record(), classical->clbits, cnum));
        }
        states = run.takeStateVector();  // the run is done: no copy
        if (lowered.reuses > 0) states.clear();  // a reset leaves no pure register state
    } catch (const run_stopped&) {
        python_exit::acquired acquire;
        throw py::error_already_set();  // the signal handler's exception, KeyboardInterrupt for Ctrl-C
    } catch (const std::exception& e) {
        // The engine's structural refusals carry no message of their own.
        if (typeid(e) != typeid(std::exception)) throw;
        throw std::runtime_error("the state-vector engine refused the lowered circuit");
    }
    if (reduced || overRecords) return probabilities;
    return readout::registerMarginal(std::move(probabilities), lowered.register_lanes);
}

std::vector<program::sub_circuit> BasicSimulator::read_program(const igraph_t* graph, const std::vector<int>& order,
                                                               bool parallel) {
    graph_reader reader(graph);
    const std::vector<std::set<int>> parts = frontend::sub_circuits(reader);
    if (!parallel) {
        std::vector<int> list;
        for (const std::set<int>& part : parts) {
            std::vector<int> vertices = vertex_list(order, part);
            list.insert(list.end(), vertices.begin(), vertices.end());
        }
        const int qnum = graph_count(reader, "qnum");
        const int cnum = graph_count(reader, "cnum");
        check_run_size(qnum, cnum);
        return {frontend::read_sub_circuit(reader, list, qnum, cnum)};
    }
    struct part_size {
        std::vector<int> vertices;
        int qnum, cnum;
    };
    std::vector<part_size> sized;
    double total_bytes = 0;
    for (const std::set<int>& part : parts) {
        std::vector<int> vertices = vertex_list(order, part);
        const int qnum = count_kind(reader, vertices, vertex_kinds::QUBIT);
        if (qnum == 0) continue;
        const int cnum = count_kind(reader, vertices, vertex_kinds::CLBIT);
        // A spread run checks each rank's share itself.
        if (rank_comm::world().size <= 1) check_register_size(qnum, cnum, total_bytes);
        total_bytes += estimated_bytes(qnum, cnum);
        sized.push_back({std::move(vertices), qnum, cnum});
    }
    std::vector<program::sub_circuit> subs;
    for (const part_size& part : sized) subs.push_back(frontend::read_sub_circuit(reader, part.vertices, part.qnum, part.cnum));
    return subs;
}

placement::placed_run BasicSimulator::place(const program::sub_circuit& sub) {
    return placement::place(sub, static_cast<unsigned long>(kMaxQubits));
}

circuit BasicSimulator::translate(const igraph_t* graph, std::vector<int>& order, int qnum, int cnum) {
    graph_reader reader(graph);
    return placement::layered(place(frontend::read_sub_circuit(reader, order, qnum, cnum)));
}

namespace {

int qubit_count(std::size_t length) {
    return static_cast<int>(std::log(static_cast<double>(length)) / 0.6931471805599453);
}

}  // namespace

double BasicSimulator::shortfall(const std::vector<double>& probabilities) {
    double total = 0;  // in index order, every entry, small ones included
    for (double p : probabilities) total += p;
    return probabilities.empty() ? 0.0 : 1 - total;
}

void BasicSimulator::fill_distribution(Result& result, std::vector<double> probabilities,
                                       const std::set<int>& mqubits) {
    // The whole distribution's shortfall is the gates' rounding; the
    // marginal is summed with nothing left out, so that keys that survive
    // the floor keep the weight of small entries that share them.
    const double missing = shortfall(probabilities);
    result.set_distribution(marginal_probabilities(std::move(probabilities), mqubits), missing);
}

std::map<std::string, double> BasicSimulator::pack_probabilities(const std::vector<double>& probabilities,
                                                                  const std::set<int>& mqubits) {
    Result result;
    fill_distribution(result, probabilities, mqubits);
    return result.probabilities();
}

std::vector<double> BasicSimulator::marginal_probabilities(std::vector<double> probabilities,
                                                           const std::set<int>& mqubits) {
    if (probabilities.empty()) return probabilities;
    const int n = qubit_count(probabilities.size());
    std::vector<unsigned long> reported;
    for (int k = 0; k < n; ++k)
        if (mqubits.empty() || mqubits.count(k)) reported.push_back(static_cast<unsigned long>(k));
    return readout::registerMarginal(std::move(probabilities), reported);
}

std::vector<double> BasicSimulator::run_parallel(std::vector<program::sub_circuit>& tasks, bool print_circuit,
                                                 state_vector& states, classical_readout* classical,
                                                 register_readout* reported, fusion_choice fusion) {
    states.clear();
    std::vector<std::vector<double>> probabilities(tasks.size());
    std::vector<state_vector> vectors(tasks.size());
    if (rank_session* session = rank_session::current()) {
        // Each sub-circuit is a run of its own, started by an agreement.
        session->expect_runs(std::max<std::size_t>(1, tasks.size()));
        if (tasks.empty()) {
            python_exit::released release;
            session->agree(0, "no sub-circuit with qubits");
        }
    }
    if (tasks.empty()) return {};
    if (rank_comm::world().size > 1) {
        // Every rank must make the same exchanges in the same order: the
        // sub-circuits run one after another, each spread over all ranks.
        for (std::size_t k = 0; k < tasks.size(); ++k) {
            probabilities[k] = simulate(tasks[k], vectors[k], print_circuit, k == 0 ? classical : nullptr,
                                        k == 0 ? reported : nullptr, fusion);
        }
        states = std::move(vectors[0]);
        return std::move(probabilities[0]);
    }

    // Each task is taken by the first free thread; the caller's own thread
    // is one of them, so the run progresses even when no worker can be had.
    // Tasks are taken in order, so once one has failed, every earlier one
    // has started and later ones need not run.
    std::vector<std::exception_ptr> failures(tasks.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> first_failed{tasks.size()};
    const int depth = nesting_;
    auto drain = [&, depth] {
        nesting_ = depth;  // a worker continues its caller's call chain
        for (std::size_t k; (k = next++) < tasks.size();) {
            if (k > first_failed.load()) continue;
            python_exit::acquired acquire;
            try {
                // Only the first sub-circuit's results are reported.
                classical_readout* wanted = k == 0 ? classical : nullptr;
                register_readout* shown = k == 0 ? reported : nullptr;
                probabilities[k] = simulate(tasks[k], vectors[k], print_circuit, wanted, shown, fusion);
            } catch (...) {
                failures[k] = std::current_exception();
                std::size_t seen = first_failed.load();
                while (k < seen && !first_failed.compare_exchange_weak(seen, k)) {
                }
            }
        }
    };
    {
        python_exit::released release;
        worker_pool workers(tasks.size() - 1, drain);
        drain();
    }
    // Every task has ended: the first failure in sub-circuit order is the
    // caller's, whichever thread met it.
    for (std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    states = std::move(vectors[0]);
    return std::move(probabilities[0]);
}
