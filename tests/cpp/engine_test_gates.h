// Gates for the engine tests: a measurement into a classical bit, and a gate
// under a condition on classical bits.
#pragma once

#include <vector>

#include "engine/circuit.h"

inline gate_unit measure(unsigned long qubit, unsigned long clbit) {
    gate_unit m("MEASURE", qubit);
    m.setClbitTarget(clbit);
    return m;
}

inline gate_unit when(gate_unit g, std::vector<unsigned long> bits, RELATION relation, int value) {
    g.setCondition(condition(bits, relation, value));
    return g;
}
