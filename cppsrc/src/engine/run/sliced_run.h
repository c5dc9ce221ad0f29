// The in-place run of a circuit with every measurement branch as a slice of
// one state vector (see measurement_record.h for why that is exact).
//
// Gates on unmeasured qubits are gathered into cache-blocked runs as before.
// A measurement moves no amplitude, so it does not even end a run; a
// conditioned gate joins the run as copies confined to the satisfying
// outcomes. The whole circuit is therefore one call of runGates, whatever
// the number of measurements, and memory is one vector.
//
// Without fusion, every amplitude of an outcome's slice sees exactly the
// arithmetic the branch of that outcome would, in the same order, so the
// probabilities are those of the branching run to the last bit. With fusion
// they agree to rounding.
#pragma once

#include <complex>
#include <functional>
#include <stdexcept>
#include <vector>

#include "engine/space/amplitude_draws.h"
#include "ir/circuit.h"
#include "engine/fusion/gate_runs.h"
#include "engine/run/measurement_record.h"
#include "engine/fusion/op_list.h"
#include "engine/space/pauli_sums.h"
#include "engine/fusion/run_stopped.h"
#include "engine/space/state_space.h"

// The circuit's gates as one run for runGates, in order: measurements are
// written into `record`, conditioned gates become copies confined to the
// satisfying outcomes. Throws run_refused (run_refused.h) as sliced_run::execute does.
std::vector<gates::compiled_gate> compileSliced(const op_list& ops, measurement_record& record);

// Whether a run fuses its gates into matrices (fuser.h): exact gate by gate
// when off; by default on from FUSION_MIN_QUBITS qubits.
enum class fusion_choice { by_size, on, off };

// Whether a run of a register of `qubits` qubits fuses under `choice`.
bool fusesAt(fusion_choice choice, unsigned long qubits);

// Runs `run` on `state` as runGates does, fused first (fuser.h) when `fuse`.
// Returns the passes made over the vector. On float amplitudes every gate
// runs as a matrix rounded to float (gates::matricesOnly), fused or alone;
// throws gates::too_wide_for_matrix for a gate no kernel takes whole.
template <class T>
unsigned long runCompiled(state_space::amplitudes<T>& state, const std::vector<gates::compiled_gate>& run, bool fuse,
                          const gates::keep_going& keepGoing = {});

// For a `state` of |0...0>: writes into it the product state that the
// one-qubit gates of `run` acting before any other gate on their qubits
// make, and returns the gates left to run. Those gates commute to the front,
// so running the rest gives the same state, rounded differently (each
// amplitude is a product of the qubits' amplitudes instead of the gates'
// updates in turn): a run that fuses takes it, an exact run does not.
std::vector<gates::compiled_gate> foldFirstLayer(state_space::state_vector& state,
                                                 const std::vector<gates::compiled_gate>& run);

// The run on amplitudes of type std::complex<T>: double, or float for
// "precision": "single" (probabilities are summed in double either way).
template <class T>
class basic_sliced_run {
public:
    // |0...0> on the list's lanes, for its classical bits.
    explicit basic_sliced_run(op_list ops, fusion_choice fusion = fusion_choice::by_size);
    explicit basic_sliced_run(const circuit& c, fusion_choice fusion = fusion_choice::by_size)
        : basic_sliced_run(opsOf(c), fusion) {}

    // Runs the circuit given to the constructor. Throws run_refused, as
    // the branching run does, for a gate on a measured qubit, a conditioned
    // measurement that some branch satisfies, and qubits or bits the circuit
    // does not have; throws run_stopped when `keepGoing` says stop.
    void execute(const gates::keep_going& keepGoing = {});

    // The probability of every basis state.
    std::vector<double> probabilities() const { return state_space::probabilities(state); }
    // Probabilities over `lanes` (lane 0 the circuit's qubit 0; the first
    // listed lane the top bit of the result's index), the other lanes summed
    // over in index order.
    std::vector<double> marginal(const std::vector<unsigned long>& lanes) const;
    // `shots` outcomes over every lane drawn from the final amplitudes
    // (amplitude_draws.h): no vector of probabilities.
    amplitude_draws::outcome_counts draw(std::int64_t shots, std::uint64_t seed) const {
        return amplitude_draws::draw(state, shots, seed);
    }
    // <O> of each observable over every branch of the run: terms on bit
    // positions of the vector, a measured position read as its outcome
    // (terms with X or Y there belong to no branch and must be left out).
    // Throws run_stopped when `keepGoing` says stop.
    std::vector<double> expectations(const std::vector<pauli_sums::observable>& observables,
                                     const gates::keep_going& keepGoing = {}) const {
        return pauli_sums::expectations(state, observables, keepGoing);
    }
    // The final state, normalised, when nothing was measured; empty otherwise.
    // Leaves the run without its vector.
    state_space::amplitudes<T> takeStateVector();

    const measurement_record& record() const { return measurements; }

private:
    op_list source;
    fusion_choice fusion;
    state_space::amplitudes<T> state;
    measurement_record measurements;
    bool executed = false;  // the state is no longer |0...0>
};

using sliced_run = basic_sliced_run<double>;
