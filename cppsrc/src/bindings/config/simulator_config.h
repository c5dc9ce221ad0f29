// BasicSimulator's "execute" dict, parsed into its typed options.
#pragma once

#include "bindings/config/config_reader.h"
#include "simulator/setup/simulator_options.h"

namespace module_options {

// Every key but "shots", which is read after the run (read_shots). An
// "mqubits" that does not read cleanly leaves `mqubits` empty and sets
// `mqubits_unreadable`: the run goes ahead, and read_shots reports it.
simulator_options read_simulator_options(const config_reader& config, bool& mqubits_unreadable);

// "shots", and the report of an unreadable "mqubits": read once the circuit
// has been simulated (and printed), as callers have seen them reported.
int read_shots(const config_reader& config, bool mqubits_unreadable);

// The same before the run, for a run that draws its shots ("probabilities":
// False); refuses negative shots.
int read_drawn_shots(const config_reader& config, bool mqubits_unreadable);

}  // namespace module_options
