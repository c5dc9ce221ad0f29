// The "noise" and "method" keys of BasicSimulator's "execute" dict.
#pragma once

#include "bindings/config/config_reader.h"
#include "simulator/setup/simulator_options.h"

namespace module_options {

// "noise": a list of rules, each a dict
//   {"channel": NAME, parameters..., "gates": [names] (absent: every gate; empty: none),
//    "qubits": [register qubits] (absent: any)}
// with NAME and its parameters one of
//   "depolarizing" "p"; "pauli" "terms" [[string, probability], ...];
//   "amplitude_damping" "gamma"; "phase_damping" "lambda";
//   "thermal_relaxation" "t1", "t2", "time"; "kraus" "operators" [matrix, ...]
// (a matrix a list of rows of real or complex numbers). Throws ValueError
// naming the item and what is wrong with it.
noise::noise_model read_noise(const py::handle& value);

// "method": "automatic" (the default), "statevector", "density_matrix" or
// "trajectories".
run_method read_method(const config_reader& config);

// The most trajectories a run takes.
constexpr long long kMaxTrajectories = 100000000;

// "trajectories" (a count, default 1000) and "seed" (any integer; absent or
// None: drawn from the system's entropy).
void read_trajectories(const config_reader& config, simulator_options& options);

}  // namespace module_options
