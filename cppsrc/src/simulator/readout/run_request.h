// What a caller asks of one run and where the run's readout goes: the same
// request for every kind of run (one vector, spread, branch states, density
// matrix, trajectories), so that each run takes one argument for it.
#pragma once

#include <complex>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "simulator/readout/shot_keys.h"
#include "simulator/setup/run_context.h"
#include "simulator/setup/simulator_options.h"

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

// One run's request: the options it runs with, the caller's context, what
// the result is keyed by, and where the final state goes. `classical` and
// `reported` are null for runs whose results nobody reads (the later
// sub-circuits of a parallel run).
struct run_request {
    const simulator_options& options;
    run_context& context;
    std::vector<std::complex<double>>& states;  // the final state, where one comes back
    classical_readout* classical = nullptr;
    register_readout* reported = nullptr;
};
