// The exact state-vector back end.
//
// A run takes the program the front end read from the graph (a list of
// sub-circuits, program/program.h), places each sub-circuit's ops on the
// lanes of one state vector (placement.h) and runs the op list in place.
//
// Plain C++: nothing here reads Python objects or needs the interpreter
// lock. module/ reads the graph and the configuration, releases the lock
// and calls `execute`; the run reaches its caller only through run_context.
#pragma once

#include <complex>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/result.h"
#include "ir/circuit.h"
#include "engine/run/sliced_run.h"
#include "ir/program.h"
#include "simulator/setup/placement.h"
#include "simulator/setup/run_context.h"
#include "simulator/readout/run_request.h"
#include "simulator/readout/shot_keys.h"
#include "simulator/setup/simulator_options.h"

namespace planner {
struct run_plan;  // planner.h: how a sub-circuit runs
}
namespace lane_readout {
struct lane_plan;  // readout/lane_readout.h: what a run on lanes reads
}

class BasicSimulator {
public:
    using state_vector = std::vector<std::complex<double>>;

    // Registers above this size cannot be addressed by a 64-bit index.
    static constexpr int kMaxQubits = program::kMaxQubits;
    // `execute` calls nest at most this deep on one call chain (a parameter
    // function may run a circuit; one that runs its own would never end).
    static constexpr int kMaxNestedRuns = 16;

    // Runs the program as the options ask and packs the result: every
    // sub-circuit as one register, or (options.parallel) one run per
    // sub-circuit, the first one's results reported.
    Result execute(std::vector<program::sub_circuit> subs, const simulator_options& options, run_context& context);

    // Places a sub-circuit on the lanes of one state vector (placement.h).
    static placement::placed_run place(const program::sub_circuit& sub);

    // What a run reads out (readout/run_request.h).
    using classical_readout = ::classical_readout;
    using register_readout = ::register_readout;

    // One run of a sub-circuit, of the kind its plan says (planner.h).
    // Returns the probability of every basis state; request.states receives
    // the final state vector (empty when the circuit measured or reset a
    // qubit). request.classical, when given, gets the classical bits'
    // distribution; request.reported may reduce the result. The options
    // give the fusion and whether to print the circuit text.
    std::vector<double> simulate(const program::sub_circuit& sub, run_request& request);

    // What the distribution misses of 1: its entries summed in index order,
    // none left out.
    static double shortfall(const std::vector<double>& probabilities);
    // Sets the result's distribution over the qubits in `mqubits` (all
    // qubits when empty), qubit 0 first: the exact marginal, keyed where it
    // exceeds Result::kKeyFloor, the whole distribution's shortfall added to the
    // greatest key.
    void fill_distribution(Result& result, std::vector<double> probabilities, const std::set<int>& mqubits);
    // The keyed probabilities fill_distribution gives.
    std::map<std::string, double> pack_probabilities(const std::vector<double>& probabilities,
                                                     const std::set<int>& mqubits);

    // The same probabilities as a dense vector, exact (nothing dropped), its
    // index k the k-th key in the order of pack_probabilities; the vector
    // itself when every qubit is reported.
    std::vector<double> marginal_probabilities(std::vector<double> probabilities, const std::set<int>& mqubits);

    // One simulation per sub-circuit, on the calling thread and as many
    // workers as the process has processors to spare. The probabilities and
    // the state vector are the first sub-circuit's; with none both come back
    // empty. A failure of any sub-circuit is raised once all have ended, the
    // first in sub-circuit order.
    std::vector<double> run_parallel(const std::vector<program::sub_circuit>& subs, run_request& request);

    // Bytes a run of `qnum` qubits and `cnum` classical bits needs at least:
    // the state vector of `amplitude_bytes` per amplitude (handed back
    // without a copy) and the probabilities the result is read from, over
    // `probability_bits` qubits (all when negative).
    static double estimated_bytes(int qnum, int cnum, int probability_bits = -1,
                                  double amplitude_bytes = kDoubleAmplitudeBytes);
    // The qubits whose probabilities a run with `options` forms: the
    // reported ones when "mqubits" names a few, none when it draws its
    // shots ("probabilities": False), else all.
    static int probability_bits(const simulator_options& options, int qnum);
    // Throws ValueError/MemoryError-mapped errors for registers that cannot be
    // simulated on this machine, before anything is allocated.
    static void check_register_size(int qnum, int cnum, double other_bytes = 0.0, int probability_bits = -1,
                                    double amplitude_bytes = kDoubleAmplitudeBytes);
    // The check a run makes before its sub-circuit is read: the whole
    // register on this machine, or only its shape where MPI ranks share it.
    static void check_run_size(int qnum, int cnum, int probability_bits = -1,
                               double amplitude_bytes = kDoubleAmplitudeBytes);
    // Throws ValueError-mapped errors for a register too large for a
    // density matrix ("method": "density_matrix" runs nothing else).
    static void check_density_size(int qnum);

private:
    // The circuit text of a planned run (options.print_circuit): its lanes
    // as layers, where it has them.
    static void print_plan(const planner::run_plan& plan, const program::sub_circuit& sub,
                           const simulator_options& options);
    // The run of a sub-circuit as `plan` says, as `simulate` describes it.
    std::vector<double> run_planned(planner::run_plan plan, const program::sub_circuit& sub, run_request& request);
    // The runs of each kind, as `simulate` describes them: as branch states,
    // as density matrices (no state vector comes back), as trajectories
    // (trajectories.h, with the estimates' standard errors), and a placed
    // sub-circuit on one vector in this process.
    std::vector<double> run_branches(const program::sub_circuit& sub, run_request& request);
    std::vector<double> run_density(const program::sub_circuit& sub, run_request& request);
    std::vector<double> run_trajectories(const program::sub_circuit& sub, run_request& request);
    std::vector<double> run_placed(placement::placed_run placed, const lane_readout::lane_plan& readout,
                                   run_request& request);
};
