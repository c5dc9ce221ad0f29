// BasicSimulator's configuration, typed. module/ parses the "execute" dict
// into it once (module/simulator_config.cpp holds the table of keys).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/run/sliced_run.h"
#include "simulator/setup/noise.h"

// One term of an observable: character k of `paulis` ('I', 'X', 'Y' or
// 'Z') acts on register qubit k, the result keys' order.
struct pauli_term_spec {
    std::string paulis;
    double coefficient = 0;
};
using observable_spec = std::vector<pauli_term_spec>;

// The amplitudes' precision ("precision"). Probabilities are summed in
// double either way.
enum class precision_choice {
    double_precision,  // "double": complex128 amplitudes, exact kernels where fusion is off
    single_precision,  // "single": complex64 amplitudes, every gate a fused float matrix
};

// Bytes of one amplitude in each precision.
constexpr double kDoubleAmplitudeBytes = 16;
constexpr double kSingleAmplitudeBytes = 8;

// How a measured qubit used again (or a reset one) is run ("measure_reuse").
enum class reuse_choice {
    automatic,  // "auto": record qubits where they cost little and fit, branch states otherwise
    records,    // "records": a record qubit per reuse, one vector
    branches,   // "branches": settle or split branch states (branch_run.h)
};

// What a run evolves ("method").
enum class run_method {
    // "automatic": where the program holds channels, a density matrix up to
    // kAutoDensityQubits qubits and trajectories above; else a state vector
    automatic,
    statevector,     // "statevector": refuses channels
    density_matrix,  // "density_matrix": rho, 4^n amplitudes
    trajectories,    // "trajectories": channels drawn per run, results averaged (trajectories.h)
};

struct simulator_options {
    // Channels on more qubits than this run as trajectories by default: a
    // density matrix of 15 qubits takes 16 GiB.
    static constexpr int kAutoDensityQubits = 14;
    static constexpr unsigned long kDefaultTrajectories = 1000;

    // The shot count a result carries when "shots" is not given.
    static constexpr int kDefaultShots = 1024;

    // "precision": "single", and the bytes an amplitude takes.
    bool single() const { return precision == precision_choice::single_precision; }
    double amplitude_bytes() const { return single() ? kSingleAmplitudeBytes : kDoubleAmplitudeBytes; }

    bool parallel = false;        // "parallel": one run per sub-circuit
    bool print_circuit = false;   // "print_circuit": the circuit text on stdout
    fusion_choice fusion = fusion_choice::by_size;  // "fusion": absent, True or False
    precision_choice precision = precision_choice::double_precision;  // "precision"
    // "mcbits": the classical bits the result is keyed by, ascending, each once.
    std::optional<std::vector<int>> mcbits;
    // "mqubits": the qubits the result is keyed by (all when empty).
    std::set<int> mqubits;
    bool local_state = false;     // "local_state": each MPI rank keeps its slice
    int shots = kDefaultShots;    // "shots"
    // "observables": Result.expectation_values gets <O> of each, exact, over
    // every measurement branch.
    std::vector<observable_spec> observables;
    // Only the expectation values are wanted: no probabilities, no state.
    bool expectations_only = false;
    reuse_choice reuse = reuse_choice::automatic;  // "measure_reuse"
    run_method method = run_method::automatic;     // "method"
    noise::noise_model noise;                      // "noise": channels attached to gates
    unsigned long trajectories = kDefaultTrajectories;  // "trajectories": runs averaged
    std::uint64_t seed = 0;  // "seed" of the trajectories' and the shots' draws (random when absent)
    // "probabilities": False: no probabilities; Result.counts holds "shots"
    // outcomes drawn from the final amplitudes (or the run's distribution).
    bool probabilities = true;
    bool memory = false;  // "memory": Result.memory lists the drawn shots in order
    // The set of a Program.run that this run is: its shots draw from the
    // seed mixed with it, so that the sets of a sweep draw apart.
    std::uint64_t sweep_set = 0;
};
