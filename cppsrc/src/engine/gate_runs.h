// Runs of gates on one state vector, cache-blocked and on all the CPUs the
// process may use.
//
// A run is a sequence of gates applied in order. It is cut into stretches
// whose gates together touch few enough high bit positions; the vector is
// then walked tile by tile, a tile being the amplitudes that differ only in
// the low bits and in the stretch's high positions, and every gate of the
// stretch is applied to one tile before the next tile is loaded. Tiles are
// cache-sized, so a stretch of k gates costs about one pass over memory
// instead of k. Each amplitude group sees exactly the arithmetic of the
// kernels in kernels.cpp, in the same gate order, so the results are the
// same to the last bit; only the order in which groups are visited changes.
#pragma once

#include <complex>
#include <functional>
#include <vector>

#include "engine/circuit.h"
#include "engine/fused_matrix.h"
#include "engine/kernels.h"
#include "engine/op_list.h"

namespace gates {

// One gate, decoded once: the kind of update and the bit positions it uses.
struct compiled_gate {
    enum kind_t : unsigned char {
        PAIR_H,       // (a0 + a1) / SQRT2, (a0 - a1) / SQRT2
        PAIR_SWAP,    // X, CNOT, CCX
        PAIR_Y,       // a1 * -i, a0 * i
        PAIR_X90,     // (a0 + a1 * -i) * (.5 + .5i), (a0 * -i + a1) * (.5 + .5i)
        PAIR_Y90,     // (a0 - a1) * (.5 + .5i), (a0 + a1) * (.5 + .5i)
        PAIR_MATRIX,  // a0 * m0 + a1 * m1, a0 * m2 + a1 * m3 (Rx, Ry)
        PAIR_DIAG,    // a0 * m0, a1 * m1 (Rz)
        PAIR_YCON,    // -a1, a0
        UPPER_NEGATE, // a * -1 where every bit of `mask` is set (Z, ZCON)
        UPPER_PHASE,  // a * m0 where every bit of `mask` is set (Z90, S, Sd, T, Td, P)
        FUSED,        // `fused`, a product of gates on the positions in `mask` (fuser.h)
    };
    kind_t kind = PAIR_SWAP;
    // Pair kinds: the target position and the mask of control positions
    // (pairs are taken where all controls are set). Upper kinds: `mask` holds
    // every position that must be set, `target` is unused. Both kinds act
    // only where every position of `zeros` is clear as well: the controls on
    // value 0 that confine a gate to some measurement outcomes.
    unsigned long target = 0;
    unsigned long mask = 0;
    unsigned long zeros = 0;
    std::complex<double> m[4];
    const fused_matrix* fused = nullptr;  // FUSED only; owned by the fused_run
    // A copy of a conditioned gate confined to some measurement outcomes:
    // the fuser leaves it on its own kernel.
    bool confined = false;

    bool isPair() const { return kind < UPPER_NEGATE; }
    // Every bit position the gate reads.
    unsigned long positions() const { return (isPair() ? (mask | (1UL << target)) : mask) | zeros; }
    // The positions a tile must span to apply the gate: the target of a pair,
    // every position of a fused product. A control, a confining position or
    // the mask of a phase only selects amplitudes, so a tile may instead
    // hold it fixed and take the gate whole or not at all.
    unsigned long tilePositions() const {
        if (kind == FUSED) return positions();
        return isPair() ? 1UL << target : 0;
    }
};

// Decodes a record exactly as gate_unit::execute reads it on a state of
// 2^qubits amplitudes: kernel chosen by the name, angle in degrees, qubit 0
// the most significant bit. False when that execution would leave the state
// as it is ("I", a measurement, a name outside the catalogue, or qubits the
// state does not have or that coincide).
bool compileGate(const gate_unit& gate, unsigned long qubits, compiled_gate& out);
bool compileGate(const lane_op& gate, unsigned long qubits, compiled_gate& out);

// Asked between stretches whether to go on; false stops the run there.
using keep_going = std::function<bool()>;

// Applies the gates in order to a state of power-of-two length. Returns the
// number of passes over the vector it made: one per stretch. A run that
// `keepGoing` stops leaves the vector part-way and returns the passes made.
unsigned long runGates(state_vector& state, const std::vector<compiled_gate>& gates,
                       const keep_going& keepGoing = {});

// How runGates cuts a vector of `size` amplitudes (a power of two): tiles
// are segments of 2^segmentBits contiguous amplitudes, and a stretch's gates
// may together have at most `highRoom` positions at or above segmentBits.
struct tile_shape {
    unsigned long segmentBits = 0;
    unsigned long highRoom = 0;
};
tile_shape tileShape(unsigned long size);

// Applies one gate, with the arithmetic of the runs, to `size` amplitudes
// (a power of two covering the gate's positions): how the fuser multiplies
// gates into a matrix.
void applyGate(std::complex<double>* amplitudes, unsigned long size, const compiled_gate& gate);

// Threads runGates uses for a vector of `size` amplitudes: the CPUs this
// process may run on, for vectors large enough to share out; else 1.
unsigned workerCount(unsigned long size);

}  // namespace gates
