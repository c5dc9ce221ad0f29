// The exact state-vector back end.
//
// A run orders the graph topologically, reads it once into a program of
// sub-circuits (frontend/), places each sub-circuit's ops on the lanes of
// one state vector (placement.h) and runs the op list in place.
//
// Threading: every member that takes a graph reads Python objects and must be
// called with the interpreter lock held. `simulate` releases the lock while
// the state vector is being computed and takes it back before returning;
// `run_parallel` releases it while its worker threads run.
#pragma once

#include <igraph.h>

#include <complex>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/result.h"
#include "engine/circuit.h"
#include "engine/sliced_run.h"
#include "frontend/graph_program.h"
#include "program/program.h"
#include "simulator/placement.h"
#include "util/call_limits.h"

class BasicSimulator {
public:
    using state_vector = std::vector<std::complex<double>>;

    // Registers above this size cannot be addressed by a 64-bit index.
    static constexpr int kMaxQubits = frontend::kMaxQubits;
    // `execute` calls nest at most this deep on one call chain (a parameter
    // function may run a circuit; one that runs its own would never end).
    static constexpr int kMaxNestedRuns = 16;

    // Runs the circuit graph as the configuration asks and packs the result.
    Result execute(const igraph_t* graph, const config_reader& config);

    // Reads the graph once, in `order`, into the sub-circuits a run
    // simulates: every sub-circuit as one register on the graph's "qnum"
    // qubits and "cnum" classical bits, or (`parallel`) one register per
    // sub-circuit that holds a qubit, each checked for size before any is
    // read. Call with the interpreter lock held.
    std::vector<program::sub_circuit> read_program(const igraph_t* graph, const std::vector<int>& order,
                                                   bool parallel);

    // Places a sub-circuit on the lanes of one state vector (placement.h).
    static placement::placed_run place(const program::sub_circuit& sub);
    // The circuit text of `order` read and placed on `qnum` qubits and `cnum`
    // classical bits, as print_circuit shows it.
    circuit translate(const igraph_t* graph, std::vector<int>& order, int qnum, int cnum);

    // Probabilities keyed by classical-bit values ("mcbits"): the bits asked
    // for, in key order, and what the run found.
    struct classical_readout {
        std::vector<int> clbits;
        std::map<std::string, double> probabilities;
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
    };

    // One state-vector run of a sub-circuit. Returns the probability of
    // every basis state; `states` receives the final state vector (empty when
    // the circuit measured or reset a qubit). `classical`, when given, gets
    // the classical bits' distribution; `reported` may reduce the result.
    // `fusion`: whether the run fuses gates (config key "fusion").
    std::vector<double> simulate(const program::sub_circuit& sub, state_vector& states, bool print_circuit,
                                 classical_readout* classical = nullptr, register_readout* reported = nullptr,
                                 fusion_choice fusion = fusion_choice::by_size);

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
    std::vector<double> run_parallel(std::vector<program::sub_circuit>& subs, bool print_circuit,
                                     state_vector& states, classical_readout* classical = nullptr,
                                     register_readout* reported = nullptr,
                                     fusion_choice fusion = fusion_choice::by_size);

    // Bytes a run of `qnum` qubits and `cnum` classical bits needs at least:
    // the state vector, its probabilities and the copy handed back.
    static double estimated_bytes(int qnum, int cnum);
    // Throws ValueError/MemoryError-mapped errors for registers that cannot be
    // simulated on this machine, before anything is allocated.
    static void check_register_size(int qnum, int cnum, double other_bytes = 0.0);

private:
    // `execute` on this rank, without the rank_session that reports its
    // failures to the other ranks of an MPI job.
    Result execute_here(const igraph_t* graph, const config_reader& config);

    // `execute` calls in progress on this thread's call chain; a parallel
    // worker starts from its caller's count.
    static thread_local int nesting_;
};
