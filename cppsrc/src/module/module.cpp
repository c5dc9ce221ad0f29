// The Python face of kovra_backends: converts arguments and results and
// delegates to the two back ends. No circuit logic lives here.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/config.h"
#include "module/result.h"
#include "nmr/nmr.h"
#include "simulator/basic_simulator.h"
#include "util/igraph_errors.h"

namespace py = pybind11;

namespace {

const igraph_t* graph_of(const py::capsule& graph) {
    return graph.get_pointer<const igraph_t>();
}

}  // namespace

PYBIND11_MODULE(kovra_backends, m) {
    igraph_errors::install();
    m.doc() = "Kovra Backends";

    py::class_<BasicSimulator>(m, "BasicSimulator")
        .def(py::init<>())
        .def("execute", [](BasicSimulator& self, const py::capsule& graph, const py::dict& config) {
            return self.execute(graph_of(graph), config_reader(config));
        });

    py::class_<Nmr>(m, "NMR")
        .def(py::init<>())
        .def("execute", [](Nmr& self, const py::capsule& graph, const py::dict& config) {
            return self.execute(graph_of(graph), config_reader(config));
        });

    py::class_<Result>(m, "Result")
        .def(py::init<>())
        .def_readwrite("states", &Result::states)
        .def_readwrite("probabilities", &Result::probabilities)
        .def_property_readonly("counts", &Result::get_counts)
        .def("get_random_reading", &Result::get_random_reading);
}
