// Gate fusion: consecutive gates merged into dense unitaries on a few bit
// positions before a run, so that a tile pays one matrix product where it
// paid several gates.
//
// Gates are gathered into groups whose positions are disjoint; a gate joins
// the groups it touches when their positions together, and the entries per
// row of their product, stay within the limits, and otherwise ends those it
// cannot join. Disjoint groups commute,
// so a group may be emitted whenever it ends. A group of one gate stays that
// gate, exact; larger groups become one fused matrix, computed by applying
// each gate's own arithmetic to the columns of the identity. A gate confined
// to some measurement outcomes (a copy of a conditioned gate) stays on its
// own kernel, which touches only those outcomes' amplitudes: as a matrix,
// its controls on the measured qubits would make it act on all of them.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/kernels/fused_matrix.h"
#include "engine/fusion/gate_runs.h"

namespace gates {

// Gates to run, exact or fused. The fused steps point into `matrices`, which
// therefore lives as long as the steps (moving the run keeps them valid).
struct fused_run {
    std::vector<compiled_gate> steps;
    std::vector<std::unique_ptr<fused_matrix>> matrices;
};

// How far groups grow: positions of a product, and the entries per row its
// kernel multiplies by (the cost of applying it) that joining may reach.
// A product of permutations and phases has one entry per row; each mixing
// gate on a new position doubles that. A product on at most `denseQubits`
// positions may be dense: each pass over a tile costs about the same up to
// eight entries per row (the kernels wait on the cache, not on arithmetic),
// so a dense product of three qubits that saves passes pays, where one of
// four (sixteen entries) does not.
struct fusion_limits {
    unsigned qubits = 4;
    unsigned rowWidth = 4;
    unsigned denseQubits = 3;
    // Whether a short permutation is left as its gates (see fuser.cpp): a
    // double run has exact kernels that swap only the pairs a CNOT's
    // controls pick; a single-precision run would make each gate a matrix
    // of its own and sweep the tile once per gate.
    bool splitPermutations = true;
};

// Fusion is worth its rounding from this many qubits on: below, the state
// fits the caches and the exact run costs little.
constexpr unsigned long FUSION_MIN_QUBITS = 16;

// The gates in an order equivalent to theirs, fused within `limits`
// (qubits 1 to 5). The default limits ran fastest on the race's random and
// QFT circuits (docs/performance.md).
fused_run fuseGates(const std::vector<compiled_gate>& gates, const fusion_limits& limits = {});

// A gate a single-precision run cannot take as a matrix: one on more
// positions than the fused kernels take (a gate confined to the outcomes of
// many measured qubits).
struct too_wide_for_matrix : std::invalid_argument {
    too_wide_for_matrix()
        : std::invalid_argument("\"precision\": \"single\" applies every gate as a matrix of at most 5 qubits; "
                                "a gate conditioned on many measured bits spans more (\"double\" runs it)") {}
};

// For single precision, which has only the fused kernels: every step made a
// fused matrix (a gate left alone becomes the matrix of its positions) and
// every matrix's entries rounded to float once. Throws too_wide_for_matrix.
void matricesOnly(fused_run& run);

// Puts the steps in an order that does the same and lets runGates cover
// them in fewer passes over a vector of `size` amplitudes: each stretch
// takes the ready steps that add the fewest high positions to it while
// they fit (the earliest among ties).
void orderForTiles(fused_run& run, unsigned long size, std::size_t amplitudeBytes = sizeof(std::complex<double>));

}  // namespace gates
