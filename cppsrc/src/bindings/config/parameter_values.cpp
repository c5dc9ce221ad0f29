#include "bindings/config/parameter_values.h"

#include <string>

namespace parameter_values {

namespace {

[[noreturn]] void refuse(const std::string& what) {
    throw py::type_error("values must be real numbers (one per free parameter), not " + what);
}

// A real number: not text, which numpy would parse, nor a complex number,
// whose imaginary part numpy's conversion would drop.
bool real_number(const py::handle& item) {
    return PyNumber_Check(item.ptr()) && !PyComplex_Check(item.ptr()) &&
           !py::isinstance(item, py::module_::import("numpy").attr("complexfloating"));
}

// An object array: each item checked, then converted by numpy; a failing
// conversion (an item's __float__ raising) is chained to the refusal.
py::array from_objects(const py::array& array) {
    const py::object flat = array.attr("ravel")();
    const py::ssize_t count = array.size();
    for (py::ssize_t k = 0; k < count; ++k) {
        const py::object item = flat[py::int_(k)];
        if (!real_number(item)) refuse("an array holding " + py::repr(item).cast<std::string>());
    }
    try {
        return array.attr("astype")(py::dtype::of<double>());
    } catch (py::error_already_set& e) {
        py::raise_from(e, PyExc_TypeError, "values hold an object that does not convert to a real number");
        throw py::error_already_set();
    }
}

}  // namespace

rows read(const py::object& values) {
    // numpy reads the object: its own exceptions reach the caller unchanged.
    py::array array = py::module_::import("numpy").attr("asarray")(values);
    switch (array.dtype().kind()) {
        case 'b':
        case 'i':
        case 'u':
        case 'f': break;
        case 'c': refuse("complex numbers (" + py::str(array.dtype()).cast<std::string>() + ")");
        case 'O': array = from_objects(array); break;
        default: refuse("an array of " + py::str(array.dtype()).cast<std::string>());
    }
    rows out = rows::ensure(array);
    if (!out) refuse("an array numpy cannot read as float64");
    return out;
}

}  // namespace parameter_values
