// Runs of BasicSimulator in an MPI job of several ranks (docs/distributed.md):
// the state vector spread over the ranks, and the helpers the single-process
// run shares with it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/run/measurement_record.h"
#include "engine/run/sliced_run.h"
#include "simulator/basic_simulator.h"
#include "simulator/setup/placement.h"

namespace spread_run {

// log2 of the ranks a register of `qnum` qubits is spread over: 0 outside
// an MPI job of several ranks, and for a register too small to split, which
// every rank then runs whole. Refuses a number of ranks that is no power of
// two.
int spread_bits(int qnum);

// The lane each requested classical bit reads (a value past the lanes for a
// bit nothing wrote); refuses bits the circuit does not have.
std::vector<unsigned long> requested_bit_lanes(const measurement_record& record, const std::vector<int>& clbits,
                                               int cnum);

// The lanes a classical result sums over: each distinct lane the requested
// bits read (`read`), and for each bit its place among them (`keyLanes`;
// NO_QUBIT for a bit nothing wrote).
struct bit_lanes {
    std::vector<unsigned long> read, keyLanes;
};
bit_lanes read_bit_lanes(const measurement_record& record, const std::vector<int>& clbits, int cnum,
                         unsigned long lanes);

// The lane each character of a drawn shot's key reads: the classical bits'
// lanes when keyed by them, else the reported qubits' register lanes.
std::vector<unsigned long> drawn_key_lanes(const placement::placed_run& placed, const measurement_record& record,
                                           const BasicSimulator::classical_readout* classical,
                                           const BasicSimulator::register_readout& reported);

// The register lanes of the reported qubits, when the run may sum over the
// others itself: some qubits left out, and no record lanes (whose sums one
// process forms before leaving out small entries).
bool reducible(const placement::placed_run& placed, const BasicSimulator::register_readout* reported,
               std::vector<unsigned long>& lanes);

// The run of a placed circuit spread over 2^bits ranks, in single precision
// when `single` (the state then goes to reported->single_state): every rank
// returns the same register probabilities, classical readout and (when it
// fits one rank) state vector. Agrees with the other ranks before the first exchange
// (rank_session); a failure after it ends the job. Expectation values of
// `observables` go into `reported`, reduced over the ranks. A state vector too large
// to gather is left out, with a warning in `context`.
std::vector<double> run_spread(const placement::placed_run& placed, int qnum, int cnum, int bits, bool single,
                               BasicSimulator::state_vector& states, BasicSimulator::classical_readout* classical,
                               BasicSimulator::register_readout* reported, fusion_choice fusion,
                               const std::vector<observable_spec>& observables, run_context& context);

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
