// Placement of a sub-circuit's ops on the lanes of one state vector, in the
// order the run takes them.
//
// Each register qubit has a lane. An op goes into the first layer after the
// last op on all its lanes, and the run takes the ops layer by layer, each
// layer in the order of the lanes that hold its ops (a multi-qubit op is
// held by the first of its lanes that was free at that layer). A
// measurement is a barrier: every later op follows it; and it comes after
// every conditioned op placed before it that reads its bits. Only layer
// numbers are kept, never padded lanes: placing costs one record per op.
//
// A measured lane is never acted on again: it keeps the outcome that labels
// the branch. A qubit used after its measurement moves to a fresh lane that
// a CNOT, placed in a layer of its own just before the measurement, fills
// with the outcome (measuring commutes with that CNOT, and the engine moves
// no amplitude for a measurement). A reset moves the qubit to a fresh lane
// in |0> and leaves the old lane untouched for ever, which traces it out:
// exactly what a reset does. A qubit nothing has acted on is already |0>,
// and its reset does nothing. The extra lanes are the record qubits.
#pragma once

#include <cstddef>
#include <vector>

#include "ir/circuit.h"
#include "engine/fusion/op_list.h"
#include "ir/program.h"

namespace placement {

struct placed_run {
    op_list run;                                // the lane ops in run order
    std::vector<std::size_t> layers;            // the layer of each op of `run`
    std::vector<unsigned long> holders;         // the lane holding each op of `run`
    std::vector<unsigned long> register_lanes;  // the lane each register qubit ends on
    unsigned long reuses = 0;                   // record lanes added
};

// A gate op as a lane op on the qubits the op names.
lane_op lane_gate(const program::op& op);

// Places the ops. Throws std::invalid_argument when the record lanes would
// take the vector past `max_lanes` qubits.
placed_run place(const program::sub_circuit& sub, unsigned long max_lanes);

// The placed run as a layered circuit record, every idle lane holding "I":
// the circuit text print_circuit shows.
circuit layered(const placed_run& placed);

}  // namespace placement
