// Definitions and their parameters, read the same way for both back ends.
//
// A definition is a root vertex whose "def" names it, with the body below it.
// Body gates name qubits by position in the caller's qubit list, and their
// "params" are Python functions of the caller's parameters, chosen by
// "pindex" (-1 hands over the caller's whole parameter list).
#include "graph/definitions.h"

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace py = pybind11;

namespace frontend {

namespace {

constexpr const char* kBadCalleeParameters = "Something is wrong with callee parameters.";

}  // namespace

std::optional<std::size_t> position(double value, std::size_t size) {
    if (!std::isfinite(value) || value <= -1.0 || value >= static_cast<double>(size)) return std::nullopt;
    return static_cast<std::size_t>(static_cast<long>(value));
}

const std::vector<int>& definition_table::body(const call_context& context, int call_vertex,
                                               const std::string& callee) {
    auto cached = bodies_.find(callee);
    if (cached != bodies_.end()) return cached->second;
    // The last vertex whose "def" names the callee is its root.
    int root = -1;
    for (int v = reader_.vertex_count() - 1; v >= 0 && root < 0; --v) {
        // Each entry is fetched afresh and held: its __str__ may change the list.
        graph_attributes::py_ref entry = reader_.entry("def", v);
        if (!entry || entry.is_none()) continue;
        char* text = graph_attributes::py_object_to_c_string(entry.get());
        if (text == nullptr) {
            PyErr_Clear();
            context.fail(v, "its \"def\" cannot be read as text");
        }
        if (std::strcmp(text, callee.c_str()) == 0) root = v;
        std::free(text);
    }
    if (root < 0) context.fail(call_vertex, "calls \"" + callee + "\", but no vertex defines it (\"def\")");
    std::vector<int> order = reader_.reachable_in_order(root, "definition \"" + callee + "\"");
    return bodies_.emplace(callee, std::move(order)).first->second;
}

std::vector<double> evaluate_parameters(const graph_attributes::graph_reader& reader_, const call_context& context, int w,
                                        const std::vector<double>& caller_params) {
    std::vector<double> evaluated;
    graph_attributes::py_ref entry = reader_.entry("params", w);
    if (!entry || entry.is_none()) return evaluated;
    if (!PyList_Check(entry.get()) && !PyTuple_Check(entry.get())) {
        context.fail(w, "\"params\" of a definition body must be a list of Python functions");
    }
    std::vector<double> pindex = reader_.numbers("pindex", w);
    py::list items = py::reinterpret_steal<py::list>(PySequence_List(entry.get()));
    if (!items) throw py::error_already_set();

    std::size_t cursor = 0;
    for (std::size_t k = 0; k < items.size(); ++k) {
        py::handle function = items[k];
        py::object code = py::getattr(function, "__code__", py::none());
        py::object count = code.is_none() ? py::object(py::none())
                                          : py::getattr(code, "co_argcount", py::none());
        if (!PyCallable_Check(function.ptr()) || !PyLong_Check(count.ptr())) {
            context.fail(w, "\"params\" item " + std::to_string(k) +
                        " is not a Python function (a lambda of the caller's parameters)",
                         vertex_error::fault::parameter);
        }
        long arguments = PyLong_AsLong(count.ptr());
        py::object value;
        if (arguments == 0) {
            value = function();
        } else {
            if (cursor >= pindex.size()) {
                context.fail(w, std::string(kBadCalleeParameters) + " \"params\" item " +
                            std::to_string(k) + " takes " + std::to_string(arguments) +
                            " parameters, but \"pindex\" has no entry left for it");
            }
            if (std::trunc(pindex[cursor]) == -1.0) {
                py::list all;
                for (double p : caller_params) all.append(py::float_(p));
                value = function(all);
            } else {
                py::tuple args(arguments);
                for (long a = 0; a < arguments; ++a) {
                    std::size_t slot = cursor + static_cast<std::size_t>(a);
                    if (slot >= pindex.size()) {
                        context.fail(w, std::string(kBadCalleeParameters) + " \"params\" item " +
                                    std::to_string(k) + " takes " + std::to_string(arguments) +
                                    " parameters, but \"pindex\" ends after " +
                                    std::to_string(pindex.size()) + " entries");
                    }
                    std::optional<std::size_t> at = position(pindex[slot], caller_params.size());
                    if (!at) {
                        context.fail(w, std::string(kBadCalleeParameters) + " \"pindex\" entry " +
                                    number_text(pindex[slot]) + " is outside the caller's " +
                                    std::to_string(caller_params.size()) + " parameters");
                    }
                    args[static_cast<std::size_t>(a)] = py::float_(caller_params[*at]);
                }
                value = function(*args);
            }
            cursor += static_cast<std::size_t>(arguments);
        }
        double number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            context.fail(w, "\"params\" function " + std::to_string(k) + " returned " +
                        std::string(py::str(py::type::of(value)).cast<std::string>()) +
                        ", not a number",
                         vertex_error::fault::parameter);
        }
        evaluated.push_back(number);
    }
    return evaluated;
}

}  // namespace frontend
