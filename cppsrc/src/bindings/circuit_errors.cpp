#include "bindings/circuit_errors.h"

#include <exception>

#include "graph/graph_program.h"

namespace py = pybind11;

namespace circuit_errors {

namespace {

// Created once with the module and kept for the life of the process.
PyObject* circuit_error = nullptr;
PyObject* index_error = nullptr;
PyObject* parameter_error = nullptr;

PyObject* new_class(py::module_& m, const char* name, const char* doc, py::tuple bases) {
    const std::string qualified = std::string("kovra_backends.") + name;
    PyObject* made = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (made == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(made));
    return made;
}

void raise(const frontend::vertex_error& e) {
    PyObject* type = e.kind == frontend::vertex_error::fault::undeclared  ? index_error
                     : e.kind == frontend::vertex_error::fault::parameter ? parameter_error
                                                                           : circuit_error;
    py::object error = py::reinterpret_borrow<py::object>(type)(e.what());
    error.attr("vertex") = e.vertex;
    error.attr("name") = e.name.empty() ? py::object(py::none()) : py::object(py::str(e.name));
    PyErr_SetObject(type, error.ptr());
}

}  // namespace

void install(py::module_& m) {
    circuit_error = new_class(m, "CircuitError",
                              "A vertex of the circuit graph the back ends cannot take; `vertex` is its id and "
                              "`name` its \"name\".",
                              py::make_tuple(py::handle(PyExc_RuntimeError), py::handle(PyExc_ValueError)));
    index_error = new_class(m, "CircuitIndexError", "A qubit or classical bit that no register declares.",
                            py::make_tuple(py::handle(circuit_error), py::handle(PyExc_IndexError)));
    parameter_error = new_class(m, "ParameterError",
                                "A parameter function of a definition body that is no function or gives no number.",
                                py::make_tuple(py::handle(circuit_error), py::handle(PyExc_TypeError)));
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const frontend::vertex_error& e) {
            raise(e);
        }
    });
}

}  // namespace circuit_errors
