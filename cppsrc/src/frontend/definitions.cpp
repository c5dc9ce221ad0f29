// Inline expansion of calls of sub-circuit definitions.
//
// A definition is a root vertex whose "def" names it, with the body below it.
// Body gates name qubits by position in the caller's qubit list, and their
// "params" are Python functions of the caller's parameters, chosen by
// "pindex" (-1 hands over the caller's whole parameter list).
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "frontend/sub_circuit_reader.h"
#include "util/call_limits.h"
#include "util/vertex_kinds.h"

namespace py = pybind11;

namespace frontend {

namespace {

constexpr const char* kBadCalleeParameters = "Something is wrong with callee parameters.";

// (int) of a list value that must index a list of `size` items.
std::optional<std::size_t> position(double value, std::size_t size) {
    if (!std::isfinite(value) || value <= -1.0 || value >= static_cast<double>(size)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(static_cast<long>(value));
}

}  // namespace

const sub_circuit_reader::definition& sub_circuit_reader::find_definition(int call_vertex,
                                                            const std::string& callee) {
    auto cached = definitions_.find(callee);
    if (cached != definitions_.end()) return cached->second;

    // The last vertex whose "def" names the callee is its root.
    int root = -1;
    for (int v = reader_.vertex_count() - 1; v >= 0 && root < 0; --v) {
        graph_attributes::py_ref entry = reader_.entry("def", v);
        if (!entry || entry.is_none()) continue;
        char* text = graph_attributes::py_object_to_c_string(entry.get());
        if (text == nullptr) {
            PyErr_Clear();
            fail(v, "its \"def\" cannot be read as text");
        }
        if (std::strcmp(text, callee.c_str()) == 0) root = v;
        std::free(text);
    }
    if (root < 0) fail(call_vertex, "calls \"" + callee + "\", but no vertex defines it (\"def\")");

    definition found{root, reader_.reachable_in_order(root, "definition \"" + callee + "\"")};
    return definitions_.emplace(callee, std::move(found)).first->second;
}

std::vector<double> sub_circuit_reader::evaluate_parameters(int w,
                                                     const std::vector<double>& caller_params) {
    std::vector<double> evaluated;
    graph_attributes::py_ref entry = reader_.entry("params", w);
    if (!entry || entry.is_none()) return evaluated;
    if (!PyList_Check(entry.get()) && !PyTuple_Check(entry.get())) {
        fail(w, "\"params\" of a definition body must be a list of Python functions");
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
            fail(w, "\"params\" item " + std::to_string(k) +
                        " is not a Python function (a lambda of the caller's parameters)");
        }
        long arguments = PyLong_AsLong(count.ptr());
        py::object value;
        if (arguments == 0) {
            value = function();
        } else {
            if (cursor >= pindex.size()) {
                fail(w, std::string(kBadCalleeParameters) + " \"params\" item " +
                            std::to_string(k) + " takes " + std::to_string(arguments) +
                            " parameters, but \"pindex\" has no entry left for it");
            }
            if (pindex[cursor] == -1.0) {
                py::list all;
                for (double p : caller_params) all.append(py::float_(p));
                value = function(all);
            } else {
                py::tuple args(arguments);
                for (long a = 0; a < arguments; ++a) {
                    std::size_t slot = cursor + static_cast<std::size_t>(a);
                    if (slot >= pindex.size()) {
                        fail(w, std::string(kBadCalleeParameters) + " \"params\" item " +
                                    std::to_string(k) + " takes " + std::to_string(arguments) +
                                    " parameters, but \"pindex\" ends after " +
                                    std::to_string(pindex.size()) + " entries");
                    }
                    std::optional<std::size_t> at = position(pindex[slot], caller_params.size());
                    if (!at) {
                        fail(w, std::string(kBadCalleeParameters) + " \"pindex\" entry " +
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
            fail(w, "\"params\" function " + std::to_string(k) + " returned " +
                        std::string(py::str(py::type::of(value)).cast<std::string>()) +
                        ", not a number");
        }
        evaluated.push_back(number);
    }
    return evaluated;
}

void sub_circuit_reader::expand_call(int call_vertex, const std::string& callee,
                               const std::vector<double>& qubits,
                               const std::vector<double>& params,
                               const condition& caller_condition, int depth) {
    if (depth > kMaxCallDepth) {
        fail(call_vertex, "calls \"" + callee + "\" nested more than " +
                              std::to_string(kMaxCallDepth) +
                              " levels deep (does a definition call itself?)");
    }
    const definition& body = find_definition(call_vertex, callee);
    std::vector<int> order = body.body;  // the cache may grow during the expansion
    calls_.emplace_back(call_vertex, callee);

    for (int w : order) {
        if (++expanded_ > call_limits::kMaxExpandedVertices) {
            fail(w, "the calls expand to more than " +
                        std::to_string(call_limits::kMaxExpandedVertices) +
                        " definition-body vertices");
        }
        std::string name = reader_.name(w);
        std::vector<double> positions = reader_.numbers("qubits", w);
        std::vector<double> mapped;
        for (double p : positions) {
            std::optional<std::size_t> at = position(p, qubits.size());
            if (!at) {
                fail(w, "\"qubits\" position " + number_text(p) + " is outside the caller's " +
                            std::to_string(qubits.size()) + " qubits");
            }
            mapped.push_back(qubits[*at]);
        }
        std::vector<double> evaluated = evaluate_parameters(w, params);
        condition cond = caller_condition.isValid() ? caller_condition : local_condition(w);

        // Anything but a call, a missing type included, runs as a gate.
        double kind = reader_.number("type", w, vertex_kinds::GATE);
        if (std::isfinite(kind) && std::fabs(kind) < 1e9 && static_cast<long>(kind) == vertex_kinds::CALL) {
            expand_call(w, name, mapped, evaluated, cond, depth + 1);
        } else {
            if (name == "MEASURE") {
                fail(w, "a definition body cannot measure (no classical bit to write)");
            }
            read_gate(w, name, mapped, evaluated, cond);
        }
    }
    calls_.pop_back();
}

}  // namespace frontend
