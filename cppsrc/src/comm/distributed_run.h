// The run of a whole circuit over the ranks of an MPI world: the sliced run
// (one vector, measurements as records, conditions as extra controls) with
// its vector spread by distributed_state.
//
// Gates are split into stretches that act on local positions only and go to
// runGates on the slice unchanged. A control on a rank position moves no
// data: the rank either satisfies it (the gate runs with that control
// dropped) or skips the gate. Only a gate whose target sits on a rank
// position needs data from another rank; its qubit is first swapped with the
// local qubit whose next use as a target lies furthest ahead, so that rank
// positions hold the qubits least in demand and most gates pay nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/space/amplitude_draws.h"
#include "ir/circuit.h"
#include "comm/distributed_state.h"
#include "engine/fusion/gate_runs.h"
#include "engine/run/measurement_record.h"
#include "engine/space/pauli_sums.h"
#include "engine/run/sliced_run.h"

// What one rank's last distributed run cost.
struct distributed_report {
    int ranks = 1;
    unsigned long localQubits = 0;
    exchange_stats exchanges;
    // Bytes this rank would have sent had every gate on a rank qubit
    // exchanged the whole slice with its partner (no remapping).
    unsigned long long pairwiseBytes = 0;
    double computeSeconds = 0;
    unsigned long passes = 0;  // over the slice, one per cache-blocked stretch
};

// Applies `gates` (logical positions of the whole register) to the spread
// vector, in order, each stretch between exchanges fused first when `fuse`.
// Every rank makes the same exchanges. Adds its compute time and passes to
// `report` and sets the bytes the plain pairwise scheme would have sent.
template <class T>
void runSpread(basic_distributed_state<T>& state, const std::vector<gates::compiled_gate>& gates, bool fuse,
               distributed_report& report);

// Over amplitudes of type std::complex<T>, as basic_sliced_run: a float run
// applies every gate as a float matrix and fuses at every size unless told
// not to; sums are made in double either way.
template <class T>
class basic_distributed_sliced_run {
public:
    // |0...0> on the circuit's qubits, spread over `world`; local gates fuse
    // as in sliced_run.
    basic_distributed_sliced_run(op_list ops, const rank_comm::world_info& world,
                                 fusion_choice fusion = fusion_choice::by_size);
    basic_distributed_sliced_run(const circuit& c, const rank_comm::world_info& world,
                                 fusion_choice fusion = fusion_choice::by_size)
        : basic_distributed_sliced_run(opsOf(c), world, fusion) {}

    // Compiles the circuit as sliced_run does (measurements as records,
    // conditions as extra controls) and refuses what sliced_run refuses.
    // Returns the digest of the compiled program, which the ranks compare
    // before the first exchange. Not collective.
    std::uint64_t compile();
    // The gates compile() made.
    std::size_t compiledGates() const { return program.size(); }

    // Runs the compiled circuit (compiling it first when compile() was not
    // called). Leaves the qubits where the run put them: only reading every
    // basis state needs them back in logical order, which costs up to
    // 2 log2(ranks) more swaps. Collective.
    void execute();

    // Probabilities over `lanes` (lane 0 the circuit's qubit 0; the first
    // listed lane the top bit of the result's index), the other lanes summed
    // over, on every rank. Lanes that are all of the circuit's in order give
    // every basis state's probability exactly as one process would.
    // Collective.
    std::vector<double> marginal(const std::vector<unsigned long>& lanes);

    // `shots` outcomes over every lane drawn from the amplitudes, the same
    // on every rank, without gathering them (amplitude_draws::drawSpread, comm/spread_draws.h).
    // Collective.
    amplitude_draws::outcome_counts draw(std::int64_t shots, std::uint64_t seed);

    // <O> of each observable (terms on logical positions of the whole
    // index), on every rank, without gathering the state: each rank sums
    // over its own slice, a term that flips rank positions reading its
    // partners from the slice of the rank they sit on (one exchange of the
    // slice per pattern of flipped rank positions, into one more slice).
    // Collective.
    std::vector<double> expectations(const std::vector<pauli_sums::observable>& observables);

    // The whole state, normalised, on every rank; empty when something was
    // measured. Costs an amplitude (16 or 8 bytes) per basis state of the
    // whole register per rank. Collective.
    state_space::amplitudes<T> gatherStateVector();
    // This rank's slice of the normalised state: global indices
    // [rank 2^L, (rank + 1) 2^L). Empty when something was measured.
    // Collective. Leaves the run without its slice.
    state_space::amplitudes<T> takeLocalSlice();

    const measurement_record& record() const { return measurements; }
    const distributed_report& report() const { return costs; }

private:
    void inLogicalOrder();
    // Makes the costs so far the process's last report.
    void publish();

    op_list source;
    fusion_choice fusion;
    std::vector<gates::compiled_gate> program;
    bool compiled = false;
    basic_distributed_state<T> state;
    measurement_record measurements;
    distributed_report costs;
};

using distributed_sliced_run = basic_distributed_sliced_run<double>;

// The report of the last distributed run this process made (a default one
// before the first).
distributed_report lastDistributedReport();
