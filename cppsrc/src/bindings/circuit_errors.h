// The named exceptions of a circuit the front end refuses, in Python.
#pragma once

#include <pybind11/pybind11.h>

namespace circuit_errors {

// Adds to the module, and raises for frontend::vertex_error:
//   CircuitError(RuntimeError, ValueError): a vertex the back ends cannot take;
//   CircuitIndexError(CircuitError, IndexError): a qubit or bit no register declares;
//   ParameterError(CircuitError, TypeError): a parameter function that is none
//     or gives no number.
// Each carries `vertex` (the vertex id) and `name` (its "name", None when it
// has none). The double bases keep every `except` that caught these faults
// by their built-in type catching them.
void install(pybind11::module_& m);

}  // namespace circuit_errors
