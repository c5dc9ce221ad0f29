#include "simulator/local_run.h"

#include <utility>

#include "engine/run/sliced_run.h"
#include "simulator/readout/observables.h"
#include "simulator/readout/readout.h"
#include "simulator/readout/shot_keys.h"
#include "simulator/spread_run.h"

namespace local_run {

namespace {

// Every measurement branch is a slice of the one vector: memory is the
// register's (and its record qubits'), whatever the number of measurements.
template <class T>
std::vector<double> runOn(placement::placed_run& lowered, const readout_plan& plan, const simulator_options& options,
                          run_context& context, BasicSimulator::classical_readout* classical,
                          BasicSimulator::register_readout* reported, state_space::amplitudes<T>& states) {
    const unsigned long lanes = lowered.run.qubits;
    const int cnum = static_cast<int>(lowered.run.clbits);
    basic_sliced_run<T> run(std::move(lowered.run), options.fusion);
    run.execute(context.keep_going);
    if (reported && !options.observables.empty()) {
        reported->expectations = run.expectations(
            observables::on_lanes(options.observables, lowered.register_lanes, lanes, run.record()),
            context.keep_going);
        if (options.expectations_only) return {};
    }
    std::vector<double> probabilities;
    if (plan.draw) {
        shot_keys::drawn_shots drawn;
        drawn.lanes = lanes;
        drawn.keyLanes = spread_run::drawn_key_lanes(lowered, run.record(), classical, *reported);
        drawn.outcomes = run.draw(reported->shots, reported->seed);
        reported->drawn = std::move(drawn);
    } else if (classical) {
        // Only the lanes the classical bits read, summed straight from the
        // amplitudes in the order the full vector would be: no vector of
        // 2^n probabilities, and the same sums.
        const spread_run::bit_lanes read = spread_run::read_bit_lanes(run.record(), classical->clbits, cnum, lanes);
        classical->probabilities =
            readout::clbitDistribution(run.marginal(read.read), read.read.size(), read.keyLanes);
    } else if (plan.reduced) {
        probabilities = run.marginal(plan.reportedLanes);
        reported->reduced = true;
    } else if (plan.overRecords) {
        probabilities = run.marginal(lowered.register_lanes);
    } else {
        probabilities = run.probabilities();
    }
    states = run.takeStateVector();          // the run is done: no copy
    if (lowered.reuses > 0) states.clear();  // a reset leaves no pure register state
    return probabilities;
}

}  // namespace

std::vector<double> run(placement::placed_run& lowered, const readout_plan& plan, const simulator_options& options,
                        run_context& context, BasicSimulator::classical_readout* classical,
                        BasicSimulator::register_readout* reported, BasicSimulator::state_vector& states) {
    if (!options.single()) return runOn<double>(lowered, plan, options, context, classical, reported, states);
    state_space::amplitudes<float> single;
    std::vector<double> probabilities = runOn<float>(lowered, plan, options, context, classical, reported, single);
    states.clear();
    if (reported) reported->single_state = std::move(single);
    return probabilities;
}

}  // namespace local_run
