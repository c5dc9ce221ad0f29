// Observables given over register qubits, placed on the run's lanes.
#pragma once

#include <vector>

#include "engine/run/measurement_record.h"
#include "engine/space/pauli_sums.h"
#include "simulator/setup/simulator_options.h"

namespace observables {

// Each register qubit's factor goes to the lane the qubit ends on
// (`register_lanes`, of `lanes` in all). A term
// with X or Y on a measured lane is left out: in every branch that qubit
// holds its outcome, where X and Y average to 0. Refuses a term whose
// length is not the register's qubit count, or a character outside IXYZ.
std::vector<pauli_sums::observable> on_lanes(const std::vector<observable_spec>& specs,
                                             const std::vector<unsigned long>& register_lanes, unsigned long lanes,
                                             const measurement_record& record);

}  // namespace observables
