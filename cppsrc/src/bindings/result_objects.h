// The Python objects a Result's attributes build on each read: the dict of
// probabilities and the lists of amplitudes and shots. Each reserves its
// objects' memory first (memory_budget), since Python's objects cost
// several times the C++ ones.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <complex>
#include <string>

#include "core/result.h"

namespace result_objects {

namespace py = pybind11;

// Result.probabilities: made straight from the result's keys.
py::typing::Dict<std::string, double> probabilities_of(const Result& r);
// Result.states, complex128 or complex64 alike.
py::typing::List<std::complex<double>> states_of(const Result& r);
// Result.memory: one str per key drawn, shared by its shots.
py::typing::List<py::str> memory_of(const Result& r);

}  // namespace result_objects
