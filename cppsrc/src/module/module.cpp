// The Python face of kovra_backends: converts arguments and results and
// delegates to the two back ends. No circuit logic lives here.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "engine/distributed_run.h"
#include "engine/rank_comm.h"
#include "module/config.h"
#include "module/result.h"
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

    py::class_<Result>(m, "Result")
        .def(py::init<>())
        .def_readwrite("states", &Result::states)
        .def_readwrite("probabilities", &Result::probabilities)
        .def_property_readonly("counts", &Result::get_counts)
        .def("get_random_reading", &Result::get_random_reading);
}
