// Orders of a gate list that do the same: every gate still follows each
// earlier gate it shares a bit position with, so only gates on disjoint
// positions trade places. That keeps every amplitude's value, though not
// its rounding: for the fused runs only, which are not bit-exact anyway.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace gates {

// Chooses which of the gates ready to go (all their predecessors placed)
// is placed next: an index into `ready`, whose entries are indices into the
// list being ordered.
using pick_next = std::function<std::size_t(const std::vector<std::size_t>& ready)>;

// The indices of the gates with the given positions, in the order `pick`
// makes.
std::vector<std::size_t> dependencyOrder(const std::vector<unsigned long>& positions, const pick_next& pick);

}  // namespace gates
