// The Python face of kovra_backends: converts arguments and results and
// delegates to the two back ends. No circuit logic lives here.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/config.h"
#include "core/result.h"
#include "core/sampling.h"
#include "nmr/nmr.h"
#include "simulator/basic_simulator.h"
#include "util/igraph_errors.h"

namespace py = pybind11;

namespace {

// The circuit graph comes as python-igraph's capsule of it or as the Graph
// itself. The capsule does not keep its graph alive; a Graph argument stays
// referenced by the call, so it cannot be freed while the run reads it.
const igraph_t* graph_of(const py::object& graph) {
    if (py::isinstance<py::capsule>(graph)) return graph.cast<py::capsule>().get_pointer<const igraph_t>();
    if (!py::hasattr(graph, "__graph_as_capsule"))
        throw py::type_error("execute() takes a python-igraph Graph or the capsule of one, not '" +
                             py::type::of(graph).attr("__name__").cast<std::string>() + "'");
    const py::object capsule = graph.attr("__graph_as_capsule")();
    if (!py::isinstance<py::capsule>(capsule))
        throw py::type_error("the graph's __graph_as_capsule() did not return a capsule");
    return capsule.cast<py::capsule>().get_pointer<const igraph_t>();
}

// A read-only numpy array over the shared vector, without a copy: the
// array's base owns a reference to the vector, so the array stays valid
// after the result is changed or gone.
template <class T>
py::array_t<T> shared_view(const shared_vector<T>& vector) {
    auto* owner = new shared_vector<T>(vector);
    py::capsule base(owner, [](void* p) { delete static_cast<shared_vector<T>*>(p); });
    py::array_t<T> view({static_cast<py::ssize_t>(vector->size())}, {static_cast<py::ssize_t>(sizeof(T))},
                        vector->data(), base);
    view.attr("flags").attr("writeable") = false;
    return view;
}

// Uniform numbers from numpy's Generator for `seed` (None, an int, a
// SeedSequence or a Generator, as numpy.random.default_rng takes them). Each
// chunk also lets Ctrl-C end a long draw.
sampling::uniform_source numpy_uniforms(const py::object& seed) {
    py::object generator = py::module_::import("numpy.random").attr("default_rng")(seed);
    return [generator](double* buffer, std::size_t count) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        // The numbers are copied out of numpy's own array, so nothing the
        // generator does can keep a view of our buffer.
        auto drawn = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
            generator.attr("random")(count));
        if (!drawn || static_cast<std::size_t>(drawn.size()) != count)
            throw std::runtime_error("the random generator did not return " + std::to_string(count) + " numbers");
        std::memcpy(buffer, drawn.data(), count * sizeof(double));
    };
}

// A key as a Python str made in place, without an intermediate string
// (a million of them are made for a million shots).
py::str key_text(std::uint64_t outcome, unsigned long width) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(width), 127);
    if (text == nullptr) throw py::error_already_set();
    Result::write_key(outcome, width, static_cast<char*>(PyUnicode_DATA(text)));
    return py::reinterpret_steal<py::str>(text);
}

py::typing::Dict<py::str, py::int_> sample_counts(Result& result, std::int64_t shots, const py::object& seed) {
    const unsigned long width = result.key_width();
    py::typing::Dict<py::str, py::int_> keyed;
    for (const auto& [outcome, count] : sampling::counts(*result.probability_vector(), shots, numpy_uniforms(seed)))
        keyed[key_text(outcome, width)] = py::int_(count);
    return keyed;
}

py::typing::List<py::str> sample_memory(Result& result, std::int64_t shots, const py::object& seed) {
    const unsigned long width = result.key_width();
    const std::vector<std::uint64_t> outcomes = sampling::memory(*result.probability_vector(), shots, numpy_uniforms(seed));
    py::typing::List<py::str> keys(outcomes.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) keys[i] = key_text(outcomes[i], width);
    return keys;
}

}  // namespace

PYBIND11_MODULE(kovra_backends, m) {
    igraph_errors::install();
    m.doc() = "Kovra Backends";

    py::class_<BasicSimulator>(m, "BasicSimulator")
        .def(py::init<>())
        .def("execute", [](BasicSimulator& self, const py::object& graph, const py::dict& config) {
            return self.execute(graph_of(graph), config_reader(config));
        });

    py::class_<Nmr>(m, "NMR")
        .def(py::init<>())
        .def("execute", [](Nmr& self, const py::object& graph, const py::dict& config) {
            return self.execute(graph_of(graph), config_reader(config));
        });

    py::class_<Result>(m, "Result")
        .def(py::init<>())
        .def_property(
            "states", [](const Result& self) { return self.states(); },
            [](Result& self, Result::state_vector states) { self.set_states(std::move(states)); })
        .def_property(
            "probabilities", [](const Result& self) { return self.probabilities; },
            [](Result& self, std::map<std::string, double> keyed) { self.set_probabilities(std::move(keyed)); })
        .def_property_readonly("counts", &Result::get_counts)
        .def("get_random_reading", &Result::get_random_reading)
        .def(
            "probability_array", [](Result& self) { return shared_view(self.probability_vector()); },
            "The probabilities as a read-only float64 array shared with the result, without a copy: "
            "entry k is the outcome whose key is k in binary (the first key character the most "
            "significant bit), before small entries are dropped from `probabilities`.")
        .def(
            "state_array", [](const Result& self) { return shared_view(self.shared_states()); },
            "The final state vector as a read-only complex128 array shared with the result, without a "
            "copy; empty when `states` is.")
        .def("sample_counts", &sample_counts, py::arg("shots"), py::arg("seed") = py::none(),
             "Counts of `shots` outcomes drawn independently with the probabilities of "
             "`probability_array()` (multinomial counts), from numpy.random.default_rng(seed).")
        .def("sample_memory", &sample_memory, py::arg("shots"), py::arg("seed") = py::none(),
             "The key of each of `shots` outcomes, in the order drawn; the same draws as "
             "`sample_counts` with the same seed.");
}
