// The state-vector runs: one sub-circuit on one vector (or spread over MPI
// ranks), and several sub-circuits side by side on the process's CPUs.
#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "comm/rank_comm.h"
#include "comm/rank_session.h"
#include "core/memory_budget.h"
#include "engine/parallel/side_by_side.h"
#include "engine/run/sliced_run.h"
#include "simulator/basic_simulator.h"
#include "simulator/local_run.h"
#include "simulator/planner.h"
#include "simulator/readout/lane_readout.h"
#include "simulator/readout/readout.h"
#include "simulator/setup/run_memory.h"
#include "simulator/spread_run.h"

using spread_run::run_spread;

namespace {

// The circuit text on stdout, one sub-circuit at a time.
void print(const circuit& c) {
    static std::mutex printing;
    std::lock_guard<std::mutex> hold(printing);
    std::cout << c.toJSON() << '\n' << std::flush;
}

}  // namespace

namespace {

}  // namespace

placement::placed_run BasicSimulator::place(const program::sub_circuit& sub) {
    return placement::place(sub, static_cast<unsigned long>(kMaxQubits));
}

void BasicSimulator::print_plan(const planner::run_plan& plan, const program::sub_circuit& sub,
                                const simulator_options& options) {
    // Mixed states have no layered text.
    if (!options.print_circuit || plan.mixed) return;
    if (plan.placed) {
        print(placement::layered(*plan.placed));
        return;
    }
    try {
        print(placement::layered(place(sub)));
    } catch (const std::invalid_argument&) {
        // Too many record qubits to lay out: branch states run it, untold.
    }
}

std::vector<double> BasicSimulator::simulate(const program::sub_circuit& sub, run_request& request) {
    planner::run_plan plan = planner::plan(sub, request);
    print_plan(plan, sub, request.options);
    return run_planned(std::move(plan), sub, request);
}

std::vector<double> BasicSimulator::run_planned(planner::run_plan plan, const program::sub_circuit& sub,
                                                run_request& request) {
    const program::sub_circuit& run = planner::circuit_of(plan, sub);
    switch (plan.kind) {
        case planner::run_kind::trajectories:
            return run_trajectories(run, request);
        case planner::run_kind::density_matrix:
            return run_density(run, request);
        case planner::run_kind::branch_states:
            return run_branches(run, request);
        case planner::run_kind::spread:
            return run_spread(*plan.placed, plan.spread_bits, plan.readout, request);
        case planner::run_kind::one_vector:
            break;
    }
    return run_placed(std::move(*plan.placed), plan.readout, request);
}

std::vector<double> BasicSimulator::run_placed(placement::placed_run lowered, const lane_readout::lane_plan& plan,
                                               run_request& request) {
    const simulator_options& options = request.options;
    classical_readout* classical = request.classical;
    register_readout* reported = request.reported;
    const int qnum = static_cast<int>(lowered.register_lanes.size());
    const int cnum = static_cast<int>(lowered.run.clbits);
    // Too small to split: every rank runs it whole, once all agree on it
    // (and on the seed its shots draw from).
    const bool drawing = plan.what == lane_readout::read::draw;
    if (rank_session::current() != nullptr) {
        spread_run::agree_on_whole_run(lowered, qnum, cnum, options.fusion, options.single(), classical, reported,
                                       reported ? options.observables : std::vector<observable_spec>{});
        if (drawing) reported->seed = spread_run::agreed_seed(reported->seed);
    }
    // Held until both vectors exist: other runs then see them as taken.
    // The probabilities the result is read from: only the reported qubits'
    // (or the lanes the classical bits read) when the run sums over the
    // others itself.
    memory_budget::reservation held =
        run_memory::state_vector(qnum, lowered.run.qubits, lowered.reuses,
                                 lane_readout::summed_bits(plan, lowered, classical, options.expectations_only),
                                 options.amplitude_bytes());
    memory_budget::reservation draws;
    if (drawing) {
        const std::size_t width =
            shot_keys::key_width(classical ? &classical->clbits : nullptr, reported->qubits, qnum);
        draws = memory_budget::reserve(shot_keys::draw_bytes(reported->shots, options.memory, width),
                                       "the draws of " + std::to_string(reported->shots) + " shots");
    }
    std::vector<double> probabilities = local_run::run(lowered, plan, request);
    if (reported && !options.observables.empty() && options.expectations_only) return probabilities;
    // Summed by the run itself, or drawn: nothing left to sum.
    if (plan.what == lane_readout::read::reduced || plan.what == lane_readout::read::over_records || drawing)
        return probabilities;
    return readout::registerMarginal(std::move(probabilities), lowered.register_lanes);
}

std::vector<double> BasicSimulator::run_parallel(const std::vector<program::sub_circuit>& tasks,
                                                 run_request& request) {
    const simulator_options& options = request.options;
    run_context& context = request.context;
    classical_readout* classical = request.classical;
    register_readout* reported = request.reported;
    state_vector& states = request.states;
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
            run_request one{options, context, vectors[k], k == 0 ? classical : nullptr, k == 0 ? reported : nullptr};
            probabilities[k] = simulate(tasks[k], one);
        }
        states = std::move(vectors[0]);
        return std::move(probabilities[0]);
    }

    // Planned (and printed) in sub-circuit order before any runs; only the
    // first sub-circuit's results are reported.
    std::vector<run_request> requests;
    std::vector<planner::run_plan> plans;
    for (std::size_t k = 0; k < tasks.size(); ++k) {
        requests.push_back(
            run_request{options, context, vectors[k], k == 0 ? classical : nullptr, k == 0 ? reported : nullptr});
        plans.push_back(planner::plan(tasks[k], requests.back()));
        print_plan(plans.back(), tasks[k], options);
    }

    // Each task is taken by the first free thread; the caller's own thread
    // is one of them, so the run progresses even when no worker can be had.
    // Tasks are taken in order, so once one has failed, every earlier one
    // has started and later ones need not run.
    std::vector<std::exception_ptr> failures(tasks.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> first_failed{tasks.size()};
    auto drain = [&](bool) {
        for (std::size_t k; (k = next++) < tasks.size();) {
            if (k > first_failed.load()) continue;
            try {
                probabilities[k] = run_planned(std::move(plans[k]), tasks[k], requests[k]);
            } catch (...) {
                failures[k] = std::current_exception();
                std::size_t seen = first_failed.load();
                while (k < seen && !first_failed.compare_exchange_weak(seen, k)) {
                }
            }
        }
    };
    parallel::side_by_side(tasks.size() - 1, drain);
    // Every task has ended: the first failure in sub-circuit order is the
    // caller's, whichever thread met it.
    for (std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    states = std::move(vectors[0]);
    return std::move(probabilities[0]);
}
