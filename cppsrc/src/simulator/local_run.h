// The run of a placed sub-circuit in this process, on one vector of the
// configuration's precision, and what the result reads off that vector.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/basic_simulator.h"

namespace local_run {

// "precision": "single" asked of a run that only double precision takes.
struct precision_refused : std::invalid_argument {
    explicit precision_refused(const std::string& why)
        : std::invalid_argument("\"precision\": \"single\" " + why + "; \"precision\": \"double\" runs it") {}
};

// What the result reads off the vector besides its state.
struct readout_plan {
    std::vector<unsigned long> reportedLanes;  // the lanes a reduced result sums to
    bool reduced = false;                      // sums straight to reportedLanes
    bool overRecords = false;                  // sums the register's lanes over record lanes
    bool draw = false;                         // draws reported->shots instead: no probabilities
};

// Runs `lowered.run` (moved from) on a vector of the options' precision and
// returns the probabilities the plan reads, in double. The final state goes
// to `states` in double precision, to reported->single_state in single
// (empty when a qubit was reset or measured). Fills `classical` and the
// expectation values of `reported` as run_placed describes.
std::vector<double> run(placement::placed_run& lowered, const readout_plan& plan, const simulator_options& options,
                        run_context& context, BasicSimulator::classical_readout* classical,
                        BasicSimulator::register_readout* reported, BasicSimulator::state_vector& states);

}  // namespace local_run
