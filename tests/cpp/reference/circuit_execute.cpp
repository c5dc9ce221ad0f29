// Running the circuit records one gate at a time with the one-gate kernels
// (kernels.cpp), without branching. The history-keeping engine and the tests
// use it as the plain reference that the one-vector run is checked against;
// the module's run path compiles gates for the gate runs instead, so this
// file lives in the history library and stays out of the module.
#include <complex>
#include <vector>

#include "ir/circuit.h"
#include "reference/kernels.h"

bool gate_unit::execute(std::vector<std::complex<double>>& state) const {
    const unsigned long size = state.size();
    if (size == 0 || (size & (size - 1)) != 0) return false;
    const unsigned long n = gates::qubitCount(size);

    // The kernel is chosen by name; refuse qubits it would read out of range
    // or twice, rather than write outside the vector.
    const GATE_INDEX kernel = kernelIndex();
    const unsigned long arity = gates::gateArity(kernel);
    if (qubit >= n) return false;
    if (arity >= 2 && (qubit2 >= n || qubit2 == qubit)) return false;
    if (arity == 3 && (qubit3 >= n || qubit3 == qubit || qubit3 == qubit2)) return false;

    const unsigned long positions[3] = {n - 1 - qubit, n - 1 - qubit2, n - 1 - qubit3};
    return gates::executeGate(state, positions, kernel, angle);
}

bool circuit_unit::execute(std::vector<std::complex<double>>& state) const {
    for (const gate_unit& g : gateUnits)
        if (!g.execute(state)) return false;
    return true;
}

bool circuit::execute(std::vector<std::complex<double>>& state) const {
    for (const circuit_unit& unit : units)
        if (!unit.execute(state)) return false;
    return true;
}
