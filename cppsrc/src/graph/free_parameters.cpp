// Free parameters: a gate whose "params" names a parameter, or a linear
// combination of parameters, instead of a number. The program keeps the
// combination; each run of a compiled program binds values to it.
#include <pybind11/pybind11.h>

#include <cmath>
#include <optional>
#include <string>

#include "graph/sub_circuit_reader.h"

namespace frontend {

namespace {

// A coefficient of a free angle: a finite number.
bool coefficient_of(PyObject* item, double& value) {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return std::isfinite(value);
}

// A parameter's name, whole: its UTF-8 bytes, NUL characters included
// ("a\0x" and "a\0y" are two parameters). Nothing for anything but text.
std::optional<std::string> name_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(name, static_cast<std::size_t>(size));
}

}  // namespace

std::size_t sub_circuit_reader::parameter_index(const std::string& name) {
    auto [at, added] = parameters_.emplace(name, out_.parameters.size());
    if (added) out_.parameters.push_back(name);
    return at->second;
}

std::optional<sub_circuit_reader::free_angle> sub_circuit_reader::read_free_angle(int v) {
    graph_attributes::py_ref entry = reader_.entry("params", v);
    if (!entry || (!PyList_Check(entry.get()) && !PyTuple_Check(entry.get())) || PySequence_Size(entry.get()) < 1)
        return std::nullopt;
    graph_attributes::py_ref first = graph_attributes::py_ref::steal(PySequence_GetItem(entry.get(), 0));
    if (!first) {
        PyErr_Clear();
        return std::nullopt;
    }
    free_angle angle;
    if (PyUnicode_Check(first.get())) {
        const std::optional<std::string> name = name_of(first.get());
        if (!name) fail(v, "the free parameter's name in \"params\" is not text");
        angle.terms.emplace_back(parameter_index(*name), 1.0);
        return angle;
    }
    if (!PyDict_Check(first.get())) return std::nullopt;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    // A copy: reading the coefficients may run code that changes the dict.
    graph_attributes::py_ref copy = graph_attributes::py_ref::steal(PyDict_Copy(first.get()));
    if (!copy) throw pybind11::error_already_set();
    while (PyDict_Next(copy.get(), &position, &key, &value)) {
        const std::optional<std::string> name = name_of(key);
        if (!name) fail(v, "a free angle in \"params\" maps parameter names (text) to coefficients");
        double coefficient = 0;
        if (!coefficient_of(value, coefficient))
            fail(v, "the coefficient of \"" + *name + "\" in \"params\" is not a finite number");
        if (name->empty())
            angle.offset += coefficient;
        else if (coefficient != 0)
            angle.terms.emplace_back(parameter_index(*name), coefficient);
    }
    return angle;
}

}  // namespace frontend
