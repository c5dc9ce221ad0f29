// The run of a placed sub-circuit in this process, on one vector of the
// configuration's precision, and what the result reads off that vector.
#pragma once

#include <vector>

#include "simulator/readout/lane_readout.h"
#include "simulator/readout/run_request.h"
#include "simulator/setup/placement.h"

namespace local_run {

// Runs `lowered.run` (moved from) on a vector of the options' precision and
// returns the probabilities `plan` reads, in double. The final state goes
// to request.states in double precision, to reported->single_state in
// single (empty when a qubit was reset or measured). Fills the request's
// classical readout and expectation values as run_placed describes.
std::vector<double> run(placement::placed_run& lowered, const lane_readout::lane_plan& plan, run_request& request);

}  // namespace local_run
