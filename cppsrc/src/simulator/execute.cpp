// BasicSimulator::execute: the runs the options ask for, packed into a Result.
#include <cmath>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/space/amplitude_draws.h"
#include "ir/gates.h"
#include "simulator/basic_simulator.h"
#include "simulator/readout/readout.h"
#include "simulator/readout/shot_keys.h"

Result BasicSimulator::execute(std::vector<program::sub_circuit> subs, const simulator_options& options,
                               run_context& context) {
    // Classical bits to key the result by: they change what the run computes.
    std::optional<classical_readout> classical;
    if (options.mcbits) classical = classical_readout{*options.mcbits, {}, {}};
    classical_readout* wanted = classical ? &*classical : nullptr;
    register_readout reported;
    reported.local_slice = options.local_state;
    reported.qubits = options.mqubits;
    const bool drawing = !options.probabilities && !options.expectations_only;
    reported.draw = drawing;
    reported.shots = options.shots;
    reported.seed =
        options.sweep_set == 0 ? options.seed : amplitude_draws::streamSeed(options.seed, options.sweep_set);

    state_vector states;
    run_request request{options, context, states, wanted, &reported};
    std::vector<double> probabilities =
        options.parallel ? run_parallel(subs, request) : simulate(subs.front(), request);
    Result result;
    if (reported.drawn) {
        shot_keys::fill(result, *reported.drawn, options.memory, reported.seed);
    } else if (classical) {
        // Keyed by classical bits: the dense vector is read off those keys.
        result.set_probabilities(std::move(classical->probabilities));
        result.probability_errors = std::move(classical->errors);
    } else {
        // A reduced run has already summed over the qubits left out. The
        // keys are made only when the caller reads them.
        fill_distribution(result, std::move(probabilities), reported.reduced ? std::set<int>{} : options.mqubits);
        // An estimate's errors, keyed as its probabilities.
        if (!reported.errors.empty())
            result.for_each_key([&](const std::string& key, double) {
                result.probability_errors[key] = reported.errors[std::stoul(key, nullptr, 2)];
            });
    }
    // Runs that form a distribution anyway (branch states, density
    // matrices, trajectories) draw their shots from it.
    if (drawing && !reported.drawn)
        shot_keys::draw_from_distribution(result, options.shots, options.memory, reported.seed);
    if (!reported.single_state.empty())
        result.set_states(std::move(reported.single_state));
    else
        result.set_states(std::move(states));
    result.shots = options.shots;
    result.expectation_values = std::move(reported.expectations);
    result.expectation_errors = std::move(reported.expectation_errors);
    result.trajectories = reported.trajectories;
    return result;
}


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
    const unsigned long n = gates::qubitCount(probabilities.size());
    std::vector<unsigned long> reported;
    for (unsigned long k = 0; k < n; ++k)
        if (mqubits.empty() || mqubits.count(static_cast<int>(k))) reported.push_back(k);
    return readout::registerMarginal(std::move(probabilities), reported);
}

