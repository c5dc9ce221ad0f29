// The state-vector runs: one sub-circuit on one vector (or spread over MPI
// ranks), and several sub-circuits side by side on the process's CPUs.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "comm/rank_comm.h"
#include "engine/run/sliced_run.h"
#include "simulator/basic_simulator.h"
#include "simulator/local_run.h"
#include "comm/rank_session.h"
#include "simulator/readout/readout.h"
#include "simulator/spread_run.h"
#include "core/memory_budget.h"

using spread_run::reducible;
using spread_run::run_spread;
using spread_run::spread_bits;

namespace {

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

// The circuit text on stdout, one sub-circuit at a time.
void print(const circuit& c) {
    static std::mutex printing;
    std::lock_guard<std::mutex> hold(printing);
    std::cout << c.toJSON() << '\n' << std::flush;
}

}  // namespace

namespace {

// The run's vectors, reserved in the process-wide budget until they exist.
// Each reuse of a measured or reset qubit adds a record qubit, doubling them.
memory_budget::reservation reserve_run(int qnum, int cnum, unsigned long lanes, unsigned long reuses,
                                       int probability_bits, double amplitude_bytes) {
    std::string what = "the state vector and probabilities of " + std::to_string(qnum) + " qubits";
    if (reuses > 0) {
        what += " with " + std::to_string(reuses) + " reuses of measured or reset qubits (each adds a record qubit: " +
                std::to_string(lanes) + " qubits in all)";
    }
    return memory_budget::reserve(
        BasicSimulator::estimated_bytes(static_cast<int>(lanes), cnum, probability_bits, amplitude_bytes), what);
}

}  // namespace

placement::placed_run BasicSimulator::place(const program::sub_circuit& sub) {
    return placement::place(sub, static_cast<unsigned long>(kMaxQubits));
}

namespace {

// A measurement or reset that only some branches make, or a classical bit
// overwritten: the record of one vector can say neither.
bool conditions_a_collapse(const program::sub_circuit& sub) {
    for (const program::op& op : sub.ops)
        if ((op.kind != program::op_kind::gate && op.cond.isValid()) || op.kind == program::op_kind::store)
            return true;
    return false;
}

// Record qubits are kept by default where they cost little: a vector of at
// most 2^20 amplitudes, or at most two reuses (four times the register).
// Beyond, branch states cost at most as much and usually far less (a
// syndrome measured every round takes no qubit at all).
constexpr unsigned long kSmallRecordLanes = 20;
constexpr unsigned long kFewReuses = 2;

// Whether the record-qubit vector of a placed run is cheap, and fits the
// machine now (the vector alone: what the run's own guard holds it to at
// least).
bool records_pay(const placement::placed_run& placed, int cnum, double amplitude_bytes) {
    if (placed.run.qubits > kSmallRecordLanes && placed.reuses > kFewReuses) return false;
    const double needed =
        BasicSimulator::estimated_bytes(static_cast<int>(placed.run.qubits), cnum, 0, amplitude_bytes);
    return needed < memory_budget::kSmallBytes || needed <= memory_budget::free_bytes();
}

}  // namespace

std::optional<placement::placed_run> BasicSimulator::plan(const program::sub_circuit& sub,
                                                          const simulator_options& options) {
    if (options.reuse == reuse_choice::branches) return std::nullopt;
    const bool records = options.reuse == reuse_choice::records;
    if (conditions_a_collapse(sub)) {
        if (records) {
            throw std::invalid_argument("a classically conditioned measurement or reset, or a STORE vertex, "
                                        "cannot run with \"measure_reuse\": \"records\"; \"auto\" or "
                                        "\"branches\" runs it");
        }
        return std::nullopt;
    }
    // MPI ranks share one record-qubit vector; branch states run on one
    // process, and only in double precision.
    const bool spread = rank_comm::world().size > 1;
    const bool only_records = records || spread || options.single();
    try {
        placement::placed_run placed = place(sub);
        if (only_records || placed.reuses == 0 || records_pay(placed, sub.clbits, options.amplitude_bytes()))
            return placed;
    } catch (const std::invalid_argument&) {
        if (only_records) throw;
    }
    return std::nullopt;
}

std::optional<placement::placed_run> BasicSimulator::prepare(const program::sub_circuit& sub,
                                                             const simulator_options& options, bool reported) {
    check_run_size(sub.qubits, sub.clbits, reported ? probability_bits(options, sub.qubits) : sub.qubits,
                   options.amplitude_bytes());
    std::optional<placement::placed_run> placed = plan(sub, options);
    if (!placed && options.single()) {
        throw local_run::precision_refused("runs a circuit as one vector; this one runs as branch states (a "
                                           "conditioned measurement or reset, a STORE vertex, or "
                                           "\"measure_reuse\": \"branches\")");
    }
    if (options.print_circuit && placed) {
        print(placement::layered(*placed));
    } else if (options.print_circuit) {
        try {
            print(placement::layered(place(sub)));
        } catch (const std::invalid_argument&) {
            // Too many record qubits to lay out: branch states run it, untold.
        }
    }
    return placed;
}

bool BasicSimulator::runs_mixed(const program::sub_circuit& sub, const simulator_options& options) {
    return options.method == run_method::density_matrix || !options.noise.ideal() || noise::hasChannels(sub) ||
           noise::hasReadoutErrors(sub);
}

std::vector<double> BasicSimulator::simulate(const program::sub_circuit& sub, state_vector& states,
                                             const simulator_options& options, run_context& context,
                                             classical_readout* classical, register_readout* reported) {
    if (runs_mixed(sub, options)) return run_mixed(sub, states, options, context, classical, reported);
    std::optional<placement::placed_run> placed = prepare(sub, options, reported != nullptr);
    if (!placed) return run_branches(sub, states, options, context, classical, reported);
    return run_placed(std::move(*placed), states, options, context, classical, reported);
}

std::vector<double> BasicSimulator::run_placed(placement::placed_run lowered, state_vector& states,
                                               const simulator_options& options, run_context& context,
                                               classical_readout* classical, register_readout* reported) {
    const fusion_choice fusion = options.fusion;
    const int qnum = static_cast<int>(lowered.register_lanes.size());
    const int cnum = static_cast<int>(lowered.run.clbits);
    const int bits = spread_bits(qnum);
    if (bits > 0)
        return run_spread(lowered, qnum, cnum, bits, options.single(), states, classical, reported, fusion,
                          options.observables, context);
    // "probabilities": False: the reported run draws its shots instead.
    const bool drawing = reported != nullptr && reported->draw;
    // Too small to split: every rank runs it whole, once all agree on it
    // (and on the seed its shots draw from).
    if (rank_session::current() != nullptr) {
        spread_run::agree_on_whole_run(lowered, qnum, cnum, fusion, options.single(), classical, reported,
                                       reported ? options.observables : std::vector<observable_spec>{});
        if (drawing) reported->seed = spread_run::agreed_seed(reported->seed);
    }
    const unsigned long lanes = lowered.run.qubits;

    // A result over a few of the register's qubits is summed straight from
    // the amplitudes, in the order the full vector would be, without a
    // vector of 2^n probabilities and two passes over it.
    std::vector<unsigned long> reportedLanes;
    const bool reduced = !drawing && !classical && lanes == static_cast<unsigned long>(qnum) &&
                         reducible(lowered, reported, reportedLanes);
    // With record lanes, the register's probabilities are likewise summed
    // over them straight from the amplitudes.
    const bool overRecords = !drawing && !classical && lanes > static_cast<unsigned long>(qnum);

    // Held until both vectors exist: other runs then see them as taken.
    // The probabilities the result is read from: only the reported qubits'
    // (or the lanes the classical bits read) when the run sums over the
    // others itself.
    const int summed = options.expectations_only || drawing ? 0
                       : classical ? std::min(static_cast<int>(lanes), static_cast<int>(classical->clbits.size()))
                       : reduced     ? static_cast<int>(reportedLanes.size())
                       : overRecords ? qnum
                                     : static_cast<int>(lanes);
    memory_budget::reservation held =
        reserve_run(qnum, cnum, lanes, lowered.reuses, summed, options.amplitude_bytes());
    memory_budget::reservation draws;
    if (drawing) {
        const std::size_t width =
            shot_keys::key_width(classical ? &classical->clbits : nullptr, reported->qubits, qnum);
        draws = memory_budget::reserve(shot_keys::draw_bytes(reported->shots, options.memory, width),
                                       "the draws of " + std::to_string(reported->shots) + " shots");
    }
    const local_run::readout_plan plan{reportedLanes, reduced, overRecords, drawing};
    std::vector<double> probabilities = local_run::run(lowered, plan, options, context, classical, reported, states);
    if (reported && !options.observables.empty() && options.expectations_only) return probabilities;
    if (reduced || overRecords || drawing) return probabilities;
    return readout::registerMarginal(std::move(probabilities), lowered.register_lanes);
}

std::vector<double> BasicSimulator::run_parallel(const std::vector<program::sub_circuit>& tasks, state_vector& states,
                                                 const simulator_options& options, run_context& context,
                                                 classical_readout* classical, register_readout* reported) {
    states.clear();
    // Observables are read on the first sub-circuit with qubits: with none,
    // there is nothing they could be read on.
    if (tasks.empty() && !options.observables.empty()) {
        throw std::invalid_argument("\"observables\" in \"parallel\" mode act on the first sub-circuit with qubits, "
                                    "and the graph has none");
    }
    std::vector<std::vector<double>> probabilities(tasks.size());
    std::vector<state_vector> vectors(tasks.size());
    if (rank_session* session = rank_session::current()) {
        // Each sub-circuit is a run of its own, started by an agreement.
        session->expect_runs(std::max<std::size_t>(1, tasks.size()));
        if (tasks.empty()) session->agree(0, "no sub-circuit with qubits");
    }
    if (tasks.empty()) return {};
    if (rank_comm::world().size > 1) {
        // Every rank must make the same exchanges in the same order: the
        // sub-circuits run one after another, each spread over all ranks.
        for (std::size_t k = 0; k < tasks.size(); ++k) {
            probabilities[k] =
                simulate(tasks[k], vectors[k], options, context, k == 0 ? classical : nullptr, k == 0 ? reported : nullptr);
        }
        states = std::move(vectors[0]);
        return std::move(probabilities[0]);
    }

    // Placed (and printed) in sub-circuit order before any runs; a task
    // with no placement runs as branch states. A noisy task runs as `simulate`
    // runs it, channels and readout errors included, and is not placed.
    std::vector<char> mixed;
    std::vector<std::optional<placement::placed_run>> placed;
    for (const program::sub_circuit& task : tasks) {
        mixed.push_back(runs_mixed(task, options));
        placed.push_back(mixed.back() ? std::nullopt : prepare(task, options, placed.empty()));
    }

    // Each task is taken by the first free thread; the caller's own thread
    // is one of them, so the run progresses even when no worker can be had.
    // Tasks are taken in order, so once one has failed, every earlier one
    // has started and later ones need not run.
    std::vector<std::exception_ptr> failures(tasks.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> first_failed{tasks.size()};
    auto drain = [&] {
        for (std::size_t k; (k = next++) < tasks.size();) {
            if (k > first_failed.load()) continue;
            try {
                // Only the first sub-circuit's results are reported.
                classical_readout* wanted = k == 0 ? classical : nullptr;
                register_readout* shown = k == 0 ? reported : nullptr;
                if (mixed[k])
                    probabilities[k] = run_mixed(tasks[k], vectors[k], options, context, wanted, shown);
                else if (placed[k])
                    probabilities[k] = run_placed(std::move(*placed[k]), vectors[k], options, context, wanted, shown);
                else
                    probabilities[k] = run_branches(tasks[k], vectors[k], options, context, wanted, shown);
            } catch (...) {
                failures[k] = std::current_exception();
                std::size_t seen = first_failed.load();
                while (k < seen && !first_failed.compare_exchange_weak(seen, k)) {
                }
            }
        }
    };
    {
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
