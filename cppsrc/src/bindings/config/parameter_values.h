// The `values` argument of Program.run and Program.expectation_values.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace parameter_values {

namespace py = pybind11;

using rows = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Any array-like of real numbers (bools, integers, floats, or objects that
// are such numbers) as a C-contiguous float64 array, without a copy where it
// is one already. What numpy raises reading the object (its __array__, a
// ragged list) passes through as it is; strings, complex numbers and other
// objects raise TypeError naming `values` and what they hold.
rows read(const py::object& values);

}  // namespace parameter_values
