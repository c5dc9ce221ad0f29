#include "engine/fusion/compile_gate.h"

#include "ir/gates.h"
#include "engine/kernels/kernel_arith.h"

namespace gates {

// The constants and helpers the kernels use, so that a decoded phase or
// matrix holds the very values they would compute.
using namespace arith;

bool compileGate(const gate_unit& gate, unsigned long qubits, compiled_gate& out) {
    return compileGate(laneOp(gate), qubits, out);
}

bool compileGate(const lane_op& gate, unsigned long qubits, compiled_gate& out) {
    // The checks of gate_unit::execute, in its order.
    const GATE_INDEX index = gate.gate;
    const unsigned long arity = gateArity(index);
    const unsigned long q1 = gate.qubits[0], q2 = gate.qubits[1], q3 = gate.qubits[2];
    if (q1 >= qubits) return false;
    if (arity >= 2 && (q2 >= qubits || q2 == q1)) return false;
    if (arity == 3 && (q3 >= qubits || q3 == q1 || q3 == q2)) return false;
    const unsigned long p0 = qubits - 1 - q1, p1 = qubits - 1 - q2, p2 = qubits - 1 - q3;

    out = compiled_gate();
    out.target = p0;
    auto phase = [&](cd value) {
        out.kind = compiled_gate::UPPER_PHASE;
        out.mask = bit(p0);
        out.m[0] = value;
    };
    switch (index) {
        case GATE_H: out.kind = compiled_gate::PAIR_H; break;
        case GATE_X: out.kind = compiled_gate::PAIR_SWAP; break;
        case GATE_Y: out.kind = compiled_gate::PAIR_Y; break;
        case GATE_Z:
            out.kind = compiled_gate::UPPER_NEGATE;
            out.mask = bit(p0);
            break;
        case GATE_X90: out.kind = compiled_gate::PAIR_X90; break;
        case GATE_Y90: out.kind = compiled_gate::PAIR_Y90; break;
        case GATE_Z90:
        case GATE_S: phase(I_UNIT); break;
        case GATE_SD: phase(MINUS_I); break;
        case GATE_T: phase(divide(cd(1, 1), SQRT2)); break;
        case GATE_TD: phase(divide(cd(1, -1), SQRT2)); break;
        case GATE_RX:
        case GATE_RY: {
            gate_matrix m = index == GATE_RX ? getGateXr(gate.angle) : getGateYr(gate.angle);
            out.kind = compiled_gate::PAIR_MATRIX;
            out.m[0] = m[0][0];
            out.m[1] = m[0][1];
            out.m[2] = m[1][0];
            out.m[3] = m[1][1];
            break;
        }
        case GATE_RZ: {
            gate_matrix m = getGateZr(gate.angle);
            out.kind = compiled_gate::PAIR_DIAG;
            out.m[0] = m[0][0];
            out.m[1] = m[1][1];
            break;
        }
        case GATE_P: phase(getGateP(gate.angle)[1][1]); break;
        case GATE_CNOT:
        case GATE_YCON:
            out.kind = index == GATE_CNOT ? compiled_gate::PAIR_SWAP : compiled_gate::PAIR_YCON;
            out.target = p1;
            out.mask = bit(p0);
            break;
        case GATE_ZCON:
            out.kind = compiled_gate::UPPER_NEGATE;
            out.mask = bit(p0) | bit(p1);
            break;
        case GATE_CCX:
            out.kind = compiled_gate::PAIR_SWAP;
            out.target = p2;
            out.mask = bit(p0) | bit(p1);
            break;
        default: return false;  // I does nothing; invalid names and MEASURE do not execute
    }
    return true;
}

}  // namespace gates
