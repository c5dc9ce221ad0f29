// Runs of BasicSimulator in an MPI job of several ranks (docs/distributed.md):
// the state vector spread over the ranks, and the helpers the single-process
// run shares with it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/run/measurement_record.h"
#include "engine/run/sliced_run.h"
#include "simulator/basic_simulator.h"
#include "simulator/readout/lane_readout.h"
#include "simulator/readout/run_request.h"
#include "simulator/setup/placement.h"

namespace spread_run {

// log2 of the ranks a register of `qnum` qubits is spread over: 0 outside
// an MPI job of several ranks, and for a register too small to split, which
// every rank then runs whole. Refuses a number of ranks that is no power of
// two.
int spread_bits(int qnum);

// The run of a placed circuit spread over 2^bits ranks, in the request's
// precision (a single-precision state goes to reported->single_state): every rank
// returns the same register probabilities, classical readout and (when it
// fits one rank) state vector. Agrees with the other ranks before the first exchange
// (rank_session); a failure after it ends the job. Expectation values of
// the options' observables go into `reported`, reduced over the ranks. A state vector too large
// to gather is left out, with a warning in `context`.
std::vector<double> run_spread(const placement::placed_run& placed, int bits, const lane_readout::lane_plan& plan,
                               run_request& request);

// Rank 0's seed on every rank, for shots drawn in a job of several ranks
// (an unseeded run draws a seed on each rank). Collective: made right
// after an agreement, before anything that can fail on one rank alone.
std::uint64_t agreed_seed(std::uint64_t own);

// Before a whole run in a job of several ranks (a register too small to
// split): the ranks agree that they compiled the same circuit with the same
// options, as they do before a spread run, so that a rank that would split
// never waits for one that runs whole.
void agree_on_whole_run(const placement::placed_run& placed, int qnum, int cnum, fusion_choice fusion, bool single,
                        const BasicSimulator::classical_readout* classical,
                        const BasicSimulator::register_readout* reported,
                        const std::vector<observable_spec>& observables);

}  // namespace spread_run
