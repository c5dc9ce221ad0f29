// Which entries of a product of gates can be non-zero. The fuser grows a
// group only while its product stays cheap to apply, and a product's cost is
// its widest row: permutations and phases (X, CNOT, CCX, Y, Z, S, T, P, Rz,
// ZCON...) keep one entry per row at any size, each mixing gate (H, Rx, Ry,
// X90, Y90) on a new position doubles it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/fusion/gate_runs.h"

namespace gates {

// Row r holds the columns that may be non-zero, as bits: at most 5 positions.
using pattern = std::vector<std::uint32_t>;

constexpr unsigned MAX_PATTERN_QUBITS = 5;

pattern identityPattern(unsigned qubits);

// The pattern after `local`, a gate on the pattern's own positions (bit i of
// a row or column number is the i-th lowest position).
void applyToPattern(pattern& p, const compiled_gate& local);

// `p` on the positions `from`, seen on `to` (which holds them all) as
// acting trivially on the others.
pattern widen(const pattern& p, unsigned long from, unsigned long to);

// `later` applied after `earlier`, both on the same positions.
pattern product(const pattern& later, const pattern& earlier);

// The largest number of non-zero entries in a row.
unsigned rowWidth(const pattern& p);

}  // namespace gates
