// A gate record decoded once for the runs: which update it makes and on
// which bit positions. The runs (gate_runs.h), the fuser and the spread
// state all act on the decoded form.
#pragma once

#include <complex>

#include "ir/circuit.h"
#include "engine/kernels/fused_matrix.h"
#include "engine/fusion/op_list.h"

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

}  // namespace gates
