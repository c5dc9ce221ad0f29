// The simulator's limits, as module attributes: Python front ends refuse
// what the simulator would refuse before they build anything, and read the
// figures here instead of keeping copies that could drift.
#pragma once

#include <pybind11/pybind11.h>

namespace limits_binding {

// Adds to the module:
//   MAX_QUBITS: the widest register a run takes (program::kMaxQubits);
//   MAX_EXPANDED_VERTICES: definition-body vertices expanded per lowering
//     (call_limits::kMaxExpandedVertices);
//   AUTO_DENSITY_QUBITS: the widest noisy register "automatic" runs as a
//     density matrix (simulator_options::kAutoDensityQubits);
//   MAX_TRAJECTORIES: the most trajectories a run takes
//     (module_options::kMaxTrajectories);
//   free_bytes(): what the memory guard counts as still allocatable
//     (memory_budget::free_bytes).
void install(pybind11::module_& m);

}  // namespace limits_binding
