// The runs of a sub-circuit as a set of branches (branch_run.h): pure branch
// states where record qubits would cost much, and density matrices where the
// program holds channels or "method" asks for one.
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/space/density_space.h"
#include "simulator/basic_simulator.h"
#include "simulator/branch/branch_run.h"
#include "simulator/readout/readout.h"
#include "simulator/branch/trajectories.h"
#include "core/memory_budget.h"
#include "simulator/setup/run_memory.h"

namespace {

// Runs `sub` as branches of kind Space and reads what `simulate` returns;
// `held` is the first branch's reservation, already made.
template <class Space>
std::vector<double> runAsBranches(const program::sub_circuit& sub, run_request& request,
                                  const std::vector<unsigned long>& reportedQubits) {
    const simulator_options& options = request.options;
    classical_readout* classical = request.classical;
    register_readout* reported = request.reported;
    const bool reduced = !reportedQubits.empty() && reportedQubits.size() < static_cast<std::size_t>(sub.qubits);
    branch_run::run<Space> run(sub, options.fusion);
    run.execute(request.context.keep_going);
    if (reported && !options.observables.empty()) {
        reported->expectations = run.expectations(options.observables);
        if (options.expectations_only) return {};
    }
    if (classical) {
        classical->probabilities = readout::aboveFloor(run.classical(classical->clbits));
        return {};
    }
    std::vector<double> probabilities = reduced ? run.marginal(reportedQubits) : run.probabilities();
    if (reduced) reported->reduced = true;
    request.states = run.takeStateVector();
    return probabilities;
}

// The register qubits a result over "mqubits" reads; empty for all.
std::vector<unsigned long> reportedQubitsOf(const program::sub_circuit& sub,
                                            const BasicSimulator::classical_readout* classical,
                                            const BasicSimulator::register_readout* reported) {
    std::vector<unsigned long> out;
    if (reported && !classical)
        for (int q : reported->qubits)
            if (q >= 0 && q < sub.qubits) out.push_back(static_cast<unsigned long>(q));
    return out;
}

// The probabilities a branch run forms, over that many qubits.
int summedBits(const program::sub_circuit& sub, const simulator_options& options,
               const BasicSimulator::classical_readout* classical, const std::vector<unsigned long>& reportedQubits) {
    const bool reduced = !reportedQubits.empty() && reportedQubits.size() < static_cast<std::size_t>(sub.qubits);
    return options.expectations_only || classical ? 0 : reduced ? static_cast<int>(reportedQubits.size()) : sub.qubits;
}

}  // namespace

void BasicSimulator::check_density_size(int qnum) {
    if (qnum < 0 || qnum > static_cast<int>(density_space::kMaxQubits)) {
        throw std::invalid_argument("cannot simulate " + std::to_string(qnum) +
                                    " qubits as a density matrix: it takes at most " +
                                    std::to_string(density_space::kMaxQubits) + " (4^n amplitudes)");
    }
}

std::vector<double> BasicSimulator::run_branches(const program::sub_circuit& sub, run_request& request) {
    const std::vector<unsigned long> reportedQubits = reportedQubitsOf(sub, request.classical, request.reported);
    // The first branch and the probabilities; each split reserves its own.
    memory_budget::reservation held =
        run_memory::state_vector(sub.qubits, static_cast<unsigned long>(sub.qubits), 0,
                                 summedBits(sub, request.options, request.classical, reportedQubits),
                                 kDoubleAmplitudeBytes);
    return runAsBranches<branch_run::pure_states>(sub, request, reportedQubits);
}

std::vector<double> BasicSimulator::run_trajectories(const program::sub_circuit& sub, run_request& request) {
    classical_readout* classical = request.classical;
    register_readout* reported = request.reported;
    std::vector<unsigned long> reportedQubits = reportedQubitsOf(sub, classical, reported);
    if (reportedQubits.size() == static_cast<std::size_t>(sub.qubits)) reportedQubits.clear();
    trajectories::estimate estimate = trajectories::run(sub, request.options, request.context,
                                                        classical ? &classical->clbits : nullptr, reportedQubits);
    if (reported) {
        reported->expectations = std::move(estimate.expectations);
        reported->expectation_errors = std::move(estimate.expectationErrors);
        reported->trajectories = request.options.trajectories;
    }
    if (classical) {
        classical->probabilities = readout::aboveFloor(estimate.classicalMean);
        for (const auto& [key, p] : classical->probabilities) classical->errors[key] = estimate.classicalError[key];
        return {};
    }
    if (reported) {
        reported->reduced = !reportedQubits.empty();
        reported->errors = std::move(estimate.error);
    }
    return std::move(estimate.mean);
}

std::vector<double> BasicSimulator::run_density(const program::sub_circuit& run, run_request& request) {
    const std::vector<unsigned long> reportedQubits = reportedQubitsOf(run, request.classical, request.reported);
    const int summed = summedBits(run, request.options, request.classical, reportedQubits);
    memory_budget::reservation held = run_memory::density_matrix(run.qubits, summed);
    return runAsBranches<branch_run::density_states>(run, request, reportedQubits);
}
