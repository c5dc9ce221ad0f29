#include "simulator/local_run.h"

#include <utility>

#include "engine/run/sliced_run.h"
#include "simulator/readout/observables.h"

namespace local_run {

namespace {

// Every measurement branch is a slice of the one vector: memory is the
// register's (and its record qubits'), whatever the number of measurements.
template <class T>
std::vector<double> runOn(placement::placed_run& lowered, const lane_readout::lane_plan& plan, run_request& request,
                          state_space::amplitudes<T>& states) {
    const simulator_options& options = request.options;
    register_readout* reported = request.reported;
    const unsigned long lanes = lowered.run.qubits;
    basic_sliced_run<T> run(std::move(lowered.run), options.fusion);
    run.execute(request.context.keep_going);
    if (reported && !options.observables.empty()) {
        reported->expectations = run.expectations(
            observables::on_lanes(options.observables, lowered.register_lanes, lanes, run.record()),
            request.context.keep_going);
        if (options.expectations_only) return {};
    }
    const lane_readout::key_lanes keys =
        lane_readout::keys_of(plan, lowered, run.record(), request.classical, reported);
    std::vector<double> probabilities = lane_readout::read_off(run, lowered, plan, keys, request.classical, reported);
    states = run.takeStateVector();          // the run is done: no copy
    if (lowered.reuses > 0) states.clear();  // a reset leaves no pure register state
    return probabilities;
}

}  // namespace

std::vector<double> run(placement::placed_run& lowered, const lane_readout::lane_plan& plan, run_request& request) {
    if (!request.options.single()) return runOn<double>(lowered, plan, request, request.states);
    state_space::amplitudes<float> single;
    std::vector<double> probabilities = runOn<float>(lowered, plan, request, single);
    request.states.clear();
    if (request.reported) request.reported->single_state = std::move(single);
    return probabilities;
}

}  // namespace local_run
