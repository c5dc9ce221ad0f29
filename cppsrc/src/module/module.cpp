// The Python face of kovra_backends: converts arguments and results and
// delegates to the two back ends. No circuit logic lives here.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <string>

#include "engine/distributed_run.h"
#include "engine/rank_comm.h"
#include "module/config.h"
#include "module/result.h"
#include "nmr/nmr.h"
#include "simulator/basic_simulator.h"
#include "util/igraph_errors.h"
#include "util/memory_budget.h"

namespace py = pybind11;

namespace {

std::string type_name(const py::handle& object) {
    return py::type::of(object).attr("__name__").cast<std::string>();
}

// python-igraph's graph type, if python-igraph has been imported: nothing
// else can hold a graph.
bool is_igraph_graph(const py::object& object) {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("igraph._igraph")) return false;
    py::object base = modules["igraph._igraph"].attr("GraphBase");
    return py::isinstance(object, base);
}

// The graph of python-igraph's capsule. Its capsules carry no name, so a
// named capsule (another extension's C API) is refused; an unnamed capsule
// cannot be checked further, and the caller must keep its graph alive.
const igraph_t* capsule_graph(const py::object& object) {
    const char* name = PyCapsule_GetName(object.ptr());
    if (name == nullptr && PyErr_Occurred()) throw py::error_already_set();
    if (name != nullptr) {
        throw py::type_error("execute() takes python-igraph's graph capsule, not the capsule \"" +
                             std::string(name) + "\"");
    }
    void* pointer = PyCapsule_GetPointer(object.ptr(), nullptr);
    if (pointer == nullptr) throw py::error_already_set();
    return static_cast<const igraph_t*>(pointer);
}

// The circuit graph comes as python-igraph's capsule of it or as the Graph
// itself. The capsule does not keep its graph alive; a Graph argument stays
// referenced by the call, so it cannot be freed while the run reads it. Only
// a real Graph is asked for its capsule: any other object's could point at a
// graph already freed.
const igraph_t* graph_of(const py::object& graph) {
    if (py::isinstance<py::capsule>(graph)) return capsule_graph(graph);
    if (!is_igraph_graph(graph))
        throw py::type_error("execute() takes a python-igraph Graph or the capsule of one, not '" +
                             type_name(graph) + "'");
    const py::object capsule = graph.attr("__graph_as_capsule")();
    if (!py::isinstance<py::capsule>(capsule))
        throw py::type_error("the graph's __graph_as_capsule() did not return a capsule");
    return capsule_graph(capsule);
}

// Python's objects for a result cost several times the C++ ones: a dict
// entry with its str key and float, a list slot with its complex. Each read
// of the attribute builds them anew, so each read reserves them first.
constexpr double kDictBytesPerKey = 120;
constexpr double kListBytesPerAmplitude = 40;

py::typing::Dict<std::string, double> probabilities_of(const Result& r) {
    double width = r.probabilities.empty() ? 0 : static_cast<double>(r.probabilities.begin()->first.size());
    memory_budget::reservation held =
        memory_budget::reserve(static_cast<double>(r.probabilities.size()) * (kDictBytesPerKey + width),
                               "Result.probabilities as a dict of " +
                                   std::to_string(r.probabilities.size()) + " keys");
    return py::reinterpret_steal<py::typing::Dict<std::string, double>>(py::cast(r.probabilities).release());
}

py::typing::List<std::complex<double>> states_of(const Result& r) {
    memory_budget::reservation held = memory_budget::reserve(
        static_cast<double>(r.states.size()) * kListBytesPerAmplitude,
        "Result.states as a list of " + std::to_string(r.states.size()) + " complex numbers");
    return py::reinterpret_steal<py::typing::List<std::complex<double>>>(py::cast(r.states).release());
}

}  // namespace

PYBIND11_MODULE(kovra_backends, m) {
    igraph_errors::install();
    // A reservation that does not fit is a MemoryError, with its figures.
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const memory_budget::exceeded& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
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

    m.def(
        "distributed_run",
        [] {
            // What this rank's last spread run cost; zeros before one.
            const distributed_report r = lastDistributedReport();
            py::dict out;
            out["mpi"] = rank_comm::available();
            out["rank"] = rank_comm::world().rank;
            out["ranks"] = rank_comm::world().size;
            out["local_qubits"] = r.localQubits;
            out["swaps"] = r.exchanges.swaps;
            out["bytes_sent"] = r.exchanges.bytesSent;
            out["pairwise_bytes"] = r.pairwiseBytes;
            out["exchange_seconds"] = r.exchanges.exchangeSeconds;
            out["compute_seconds"] = r.computeSeconds;
            out["passes"] = r.passes;
            return out;
        },
        "The MPI world of this process and what this rank's last distributed run cost: swaps of a rank "
        "qubit with a local one, bytes this rank sent, the bytes the plain pairwise scheme would have sent, "
        "seconds spent exchanging and computing, and passes over the slice.");

    py::class_<Result> result(m, "Result");
    // Setters as def_readwrite makes them; the getters reserve memory first.
    py::cpp_function set_states(
        [](Result& r, const std::vector<std::complex<double>>& states) { r.states = states; },
        py::is_method(result));
    py::cpp_function set_probabilities(
        [](Result& r, const std::map<std::string, double>& p) { r.probabilities = p; }, py::is_method(result));
    result.def(py::init<>())
        .def_property("states", &states_of, set_states)
        .def_property("probabilities", &probabilities_of, set_probabilities)
        .def_property_readonly("counts", &Result::get_counts)
        .def("get_random_reading", &Result::get_random_reading);
}
