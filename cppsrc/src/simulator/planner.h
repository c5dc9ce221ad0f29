// How a sub-circuit runs, decided in one place before anything is allocated.
//
// A run is one of five kinds: one state vector in this process (record
// qubits for reused ones), that vector spread over MPI ranks, branch states
// (conditioned collapses, or record qubits that would cost too much), a
// density matrix, or trajectories. Which one follows from the program (its
// channels, readout errors, conditioned measurements, reuses and width) and
// the options ("method", "precision", "measure_reuse", "noise") and the MPI
// world; for a run on lanes, also what it reads off them (lane_readout.h).
// Every combination no run can honour is refused here, by name,
// before the run reserves or allocates anything.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "ir/program.h"
#include "simulator/readout/lane_readout.h"
#include "simulator/readout/run_request.h"
#include "simulator/setup/placement.h"
#include "simulator/setup/simulator_options.h"

namespace planner {

enum class run_kind {
    one_vector,      // one vector in this process; reused qubits as record lanes
    spread,          // the one vector spread over 2^spread_bits MPI ranks
    branch_states,   // a set of pure branch states (branch_run.h)
    density_matrix,  // branch states as density matrices: channels, exactly
    trajectories,    // channels drawn per run, results averaged (trajectories.h)
};

// "precision": "single" asked of a run that only double precision takes.
struct precision_refused : std::invalid_argument {
    explicit precision_refused(const std::string& why)
        : std::invalid_argument("\"precision\": \"single\" " + why + "; \"precision\": \"double\" runs it") {}
};

struct run_plan {
    run_kind kind = run_kind::one_vector;
    // The sub-circuit with the options' noise attached, where the options
    // carry noise: what a density-matrix, trajectory or branch run takes in
    // place of the program's own.
    std::optional<program::sub_circuit> noisy;
    // one_vector and spread: the ops placed on lanes (moved from by the run).
    std::optional<placement::placed_run> placed;
    int spread_bits = 0;  // spread: log2 of the ranks sharing the vector
    // one_vector and spread: what the run reads off its lanes.
    lane_readout::lane_plan readout;
    // Channels, readout errors, noise or "method": "density_matrix": the
    // states may be mixed (a branch run of readout errors alone among them).
    bool mixed = false;
};

// The plan of a run of `sub` for `request`: its options, and what the
// caller reads (a run whose result nobody reads forms no reduced sums and
// its size check counts every probability). Throws std::invalid_argument (precision_refused among them) for a
// combination no run honours, and the memory guard's errors for a register
// that cannot fit.
run_plan plan(const program::sub_circuit& sub, const run_request& request);

// The sub-circuit a plan runs: the noisy copy where there is one.
inline const program::sub_circuit& circuit_of(const run_plan& plan, const program::sub_circuit& sub) {
    return plan.noisy ? *plan.noisy : sub;
}

}  // namespace planner
