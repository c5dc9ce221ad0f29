// From shots drawn over a run's lanes to what a result reports: counts keyed
// as the probabilities would have been ("mqubits" or "mcbits"), and with
// "memory" every shot's key in the order drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "core/result.h"
#include "engine/space/amplitude_draws.h"

namespace shot_keys {

// Outcomes drawn over every lane of a run (lane 0 the top bit of an index),
// and the lane each key character reads: a lane at or past `lanes` is a
// classical bit nothing wrote, which reads '0'.
struct drawn_shots {
    amplitude_draws::outcome_counts outcomes;
    unsigned long lanes = 0;
    std::vector<unsigned long> keyLanes;
};

// Bytes a draw of `shots` keyed by `keyWidth` characters holds beside the
// state at most: each shot's uniform number, outcome and key, and with
// `memory` its place in the order.
double draw_bytes(std::int64_t shots, bool memory, std::size_t keyWidth);
// The characters of a key at most: one per classical bit asked for, else
// one per reported qubit ("mqubits"; all `qnum` when none is listed).
std::size_t key_width(const std::vector<int>* clbits, const std::set<int>& mqubits, int qnum);

// The lanes a key over "mqubits" reads: those of the listed register qubits
// (in ascending qubit order, qubits past the register left out), all
// register lanes when none is listed.
std::vector<unsigned long> qubit_key_lanes(const std::vector<unsigned long>& registerLanes,
                                           const std::set<int>& mqubits);

// Result.counts (and with `memory` the shots in draw order, shuffled from
// `seed`) from what a run drew.
void fill(Result& result, const drawn_shots& drawn, bool memory, std::uint64_t seed);

// For runs that form a distribution anyway (branch states, density
// matrices, trajectories): `shots` outcomes drawn from the result's keyed
// distribution with `seed` fill the counts (and memory) as `fill` does,
// and the probabilities and their errors are left out.
void draw_from_distribution(Result& result, std::int64_t shots, bool memory, std::uint64_t seed);

}  // namespace shot_keys
