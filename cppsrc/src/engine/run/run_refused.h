// What the one-vector runs throw for a circuit they cannot run as given: a
// gate on a measured qubit, a conditioned measurement some branch takes,
// qubits or classical bits the run does not have. Such circuits are
// refused before any amplitude moves; the placement above never makes them,
// so a caller meeting one has found a fault of its own.
#pragma once

#include <exception>

struct run_refused : std::exception {
    const char* what() const noexcept override { return "the state-vector engine refused the lowered circuit"; }
};
