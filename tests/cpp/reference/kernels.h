// Gate kernels: apply one gate to a dense state vector in place.
//
// Kernels take bit positions counted from the least significant bit of the
// basis index; the gate records convert qubit numbers (qubit 0 is the most
// significant bit) to positions. Kernels do not validate their inputs: the
// vector length is a power of two, positions are below log2 of it and the
// positions of one gate are distinct.
#pragma once

#include <complex>
#include <string>
#include <vector>

#include "ir/gates.h"

namespace gates {

using state_vector = std::vector<std::complex<double>>;

bool executeGateI(state_vector& state, unsigned long pos);
bool executeGateH(state_vector& state, unsigned long pos);
bool executeGateX(state_vector& state, unsigned long pos);
bool executeGateY(state_vector& state, unsigned long pos);
bool executeGateZ(state_vector& state, unsigned long pos);
bool executeGateX90(state_vector& state, unsigned long pos);
bool executeGateY90(state_vector& state, unsigned long pos);
bool executeGateZ90(state_vector& state, unsigned long pos);
bool executeGateXr(state_vector& state, unsigned long pos, double degrees);
bool executeGateYr(state_vector& state, unsigned long pos, double degrees);
bool executeGateZr(state_vector& state, unsigned long pos, double degrees);
bool executeGateP(state_vector& state, unsigned long pos, double degrees);
bool executeGateS(state_vector& state, unsigned long pos);
bool executeGateSd(state_vector& state, unsigned long pos);
bool executeGateT(state_vector& state, unsigned long pos);
bool executeGateTd(state_vector& state, unsigned long pos);
bool executeGateCNOT(state_vector& state, unsigned long control, unsigned long target);
bool executeGateYCON(state_vector& state, unsigned long control, unsigned long target);
bool executeGateZCON(state_vector& state, unsigned long control, unsigned long target);
bool executeGateCCX(state_vector& state, unsigned long control1, unsigned long control2, unsigned long target);

// Projects onto qubit = 0 (keepZero) or qubit = 1 without renormalising, so
// the squared norm of the result is the probability of that outcome. Takes a
// qubit number, not a bit position.
bool executeGateMeasure(state_vector& state, unsigned long qubit, bool keepZero);

// Dispatch. `positions` points at three bit positions; a gate reads as many as
// it has qubits. Returns false, leaving the state alone, for GATE_INVALID, for
// MEASURE and for a parametrised gate reached without an angle.
bool executeGate(state_vector& state, const unsigned long* positions, GATE_INDEX index);
bool executeGate(state_vector& state, const unsigned long* positions, GATE_INDEX index, double degrees);
bool executeGate(state_vector& state, const unsigned long* positions, const std::string& name);
bool executeGate(state_vector& state, const unsigned long* positions, const std::string& name, double degrees);

}  // namespace gates
