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
#include "simulator/readout/shot_keys.h"
#include "simulator/setup/simulator_options.h"

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

    // Probabilities keyed by classical-bit values ("mcbits"): the bits asked
    // for, in key order, and what the run found.
    struct classical_readout {
        std::vector<int> clbits;
        std::map<std::string, double> probabilities;
        std::map<std::string, double> errors;  // standard errors, where estimated
    };

    // The qubits the result is keyed by ("mqubits"), known before the run so
    // that a run spread over MPI ranks can reduce its probabilities to them
    // instead of gathering every basis state on every rank. `reduced` tells
    // that it did: the probabilities then cover those qubits alone, in order.
    struct register_readout {
        std::set<int> qubits;
        bool reduced = false;
        // "local_state": a spread run hands back this rank's slice of the
        // state vector (in logical order) instead of gathering the whole.
        bool local_slice = false;
        // <O> of each of the options' observables, from the reported run.
        std::vector<double> expectations;
        // Where the run was an estimate (trajectories): how many runs it
        // averaged, and the standard error of each of `expectations`.
        unsigned long trajectories = 0;
        std::vector<double> expectation_errors;
        // The standard error of each probability returned, where estimated.
        std::vector<double> errors;
        // The final state of a single-precision run ("precision"), which
        // the result keeps as complex64; the double `states` stay empty.
        std::vector<std::complex<float>> single_state;
        // "probabilities": False: the run draws `shots` outcomes from its
        // final amplitudes with `seed` instead of forming probabilities
        // (a spread run replaces the seed with rank 0's), and `drawn`
        // receives them.
        bool draw = false;
        std::int64_t shots = 0;
        std::uint64_t seed = 0;
        std::optional<shot_keys::drawn_shots> drawn;
    };

    // One state-vector run of a sub-circuit. Returns the probability of
    // every basis state; `states` receives the final state vector (empty when
    // the circuit measured or reset a qubit). `classical`, when given, gets
    // the classical bits' distribution; `reported` may reduce the result.
    // The options give the fusion and whether to print the circuit text.
    std::vector<double> simulate(const program::sub_circuit& sub, state_vector& states,
                                 const simulator_options& options, run_context& context,
                                 classical_readout* classical = nullptr, register_readout* reported = nullptr);

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
    std::vector<double> run_parallel(const std::vector<program::sub_circuit>& subs, state_vector& states,
                                     const simulator_options& options, run_context& context,
                                     classical_readout* classical = nullptr, register_readout* reported = nullptr);

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
    // Whether a sub-circuit runs as density matrices or trajectories
    // (run_mixed): "method" asks for one, or it is noisy.
    static bool runs_mixed(const program::sub_circuit& sub, const simulator_options& options);
    // The size check, the placement and (options.print_circuit) the
    // circuit text of one sub-circuit: what precedes its run.
    // `reported`: the run whose result the caller reads.
    // Empty when the sub-circuit runs as branch states instead (plan).
    std::optional<placement::placed_run> prepare(const program::sub_circuit& sub, const simulator_options& options,
                                                 bool reported);
    // The record-qubit placement of a sub-circuit, or nothing where it runs
    // as branch states (branch_run.h): a measurement or reset under a
    // condition, "measure_reuse": "branches", or (by default) record qubits
    // that would cost much (more than 2^20 amplitudes and more than two
    // reuses) or not fit the machine (single precision, which has no branch
    // states, keeps them). Where record qubits stay, results are those of
    // every earlier release to the last bit.
    std::optional<placement::placed_run> plan(const program::sub_circuit& sub, const simulator_options& options);
    // The run of a sub-circuit as branch states, as `simulate` describes it.
    std::vector<double> run_branches(const program::sub_circuit& sub, state_vector& states,
                                     const simulator_options& options, run_context& context,
                                     classical_readout* classical, register_readout* reported);
    // The run of a sub-circuit as density matrices, as `simulate` describes
    // it (no state vector comes back): where "method" asks for one, or the
    // program (with the options' "noise") holds channels.
    std::vector<double> run_mixed(const program::sub_circuit& sub, state_vector& states,
                                  const simulator_options& options, run_context& context,
                                  classical_readout* classical, register_readout* reported);
    // The noisy sub-circuit run as trajectories (trajectories.h), as
    // `simulate` describes it, with the estimates' standard errors.
    std::vector<double> run_trajectories(const program::sub_circuit& sub, const simulator_options& options,
                                         run_context& context, classical_readout* classical,
                                         register_readout* reported);
    // The run of a placed sub-circuit, as `simulate` describes it.
    std::vector<double> run_placed(placement::placed_run placed, state_vector& states,
                                   const simulator_options& options, run_context& context,
                                   classical_readout* classical, register_readout* reported);
};
