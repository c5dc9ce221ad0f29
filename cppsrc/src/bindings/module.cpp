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

#include "bindings/circuit_errors.h"
#include "bindings/limits_binding.h"
#include "bindings/config/config_keys.h"
#include "bindings/config/config_reader.h"
#include "bindings/nmr_driver.h"
#include "bindings/config/parameter_values.h"
#include "bindings/result_objects.h"
#include "core/result.h"
#include "core/sampling.h"
#include "engine/kernels/cpu_paths.h"
#include "comm/distributed_run.h"
#include "comm/rank_comm.h"
#include "nmr/nmr.h"
#include "bindings/simulator_driver.h"
#include "simulator/basic_simulator.h"
#include "graph/igraph_errors.h"
#include "core/memory_budget.h"

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

// The igraph_t of a python-igraph Graph, through the graph's own capsule.
const igraph_t* igraph_of(const py::object& graph) {
    const py::object capsule = graph.attr("__graph_as_capsule")();
    if (!py::isinstance<py::capsule>(capsule))
        throw py::type_error("the graph's __graph_as_capsule() did not return a capsule");
    return capsule_graph(capsule);
}

// The circuit graph comes as python-igraph's capsule of it or as the Graph
// itself. python-igraph's capsule does not keep its graph alive (one from
// graph_capsule below does); a Graph argument stays
// referenced by the call, so it cannot be freed while the run reads it. Only
// a real Graph is asked for its capsule: any other object's could point at a
// graph already freed.
const igraph_t* graph_of(const py::object& graph) {
    if (py::isinstance<py::capsule>(graph)) return capsule_graph(graph);
    if (!is_igraph_graph(graph))
        throw py::type_error("execute() takes a python-igraph Graph or the capsule of one, not '" +
                             type_name(graph) + "'");
    return igraph_of(graph);
}

// python-igraph's capsule of `graph` that holds a reference to the graph
// until the capsule goes, so that the capsule cannot outlive its graph.
py::object graph_capsule(const py::object& graph) {
    if (!is_igraph_graph(graph))
        throw py::type_error("graph_capsule() takes a python-igraph Graph, not '" + type_name(graph) + "'");
    auto* pointer = const_cast<igraph_t*>(igraph_of(graph));
    py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(pointer, nullptr, [](PyObject* c) {
        Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(c)));
    }));
    if (!capsule) throw py::error_already_set();
    if (PyCapsule_SetContext(capsule.ptr(), graph.ptr()) != 0) throw py::error_already_set();
    graph.inc_ref();  // released by the capsule's destructor
    return capsule;
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
py::object numpy_generator(const py::object& seed) {
    return py::module_::import("numpy.random").attr("default_rng")(seed);
}

sampling::uniform_source numpy_uniforms(const py::object& generator) {
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

// What one shot of sample_memory costs: its outcome index, its list slot
// and its str key (the object header and the characters).
constexpr double kBytesPerMemoryShot = sizeof(std::uint64_t) + sizeof(void*) + 48;

// Past this many shots the counts are drawn at once, as one multinomial
// draw, in time that grows with the outcomes rather than the shots: drawing
// 2^63 shots one by one would never end. No list of so many shots fits a
// machine, so sample_memory, whose draws the smaller counts repeat, has no
// such counterpart.
constexpr std::int64_t kShotsDrawnOneByOne = std::int64_t{1} << 32;

// Multinomial counts of `shots` from numpy's Generator.multinomial, in
// ascending outcome order, outcomes never drawn left out.
std::vector<std::pair<std::uint64_t, std::int64_t>> multinomial_counts(const std::vector<double>& probabilities,
                                                                       std::int64_t shots, const py::object& generator) {
    const double total = sampling::total_weight(probabilities, shots);
    memory_budget::reservation copy = memory_budget::reserve(
        static_cast<double>(probabilities.size()) * (sizeof(double) + sizeof(std::int64_t)),
        "the weights and counts of a multinomial draw over " + std::to_string(probabilities.size()) + " outcomes");
    py::array_t<double> weights(static_cast<py::ssize_t>(probabilities.size()));
    double* w = weights.mutable_data();
    for (std::size_t k = 0; k < probabilities.size(); ++k) w[k] = probabilities[k] > 0 ? probabilities[k] / total : 0.0;
    auto drawn = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        generator.attr("multinomial")(shots, weights));
    if (!drawn || static_cast<std::size_t>(drawn.size()) != probabilities.size())
        throw std::runtime_error("the random generator did not return a count per outcome");
    std::vector<std::pair<std::uint64_t, std::int64_t>> counted;
    for (std::size_t k = 0; k < probabilities.size(); ++k)
        if (drawn.data()[k] > 0) counted.emplace_back(k, drawn.data()[k]);
    return counted;
}

// The draws read a copy of the shared vector's handle, not the result's: the
// generator is Python code and may replace the result's probabilities while
// the draw runs, which must not free the vector under it.
py::typing::Dict<py::str, py::int_> sample_counts(Result& result, std::int64_t shots, const py::object& seed) {
    const unsigned long width = result.key_width();
    const shared_vector<double> held = result.probability_vector();
    const py::object generator = numpy_generator(seed);
    const auto counted = shots > kShotsDrawnOneByOne ? multinomial_counts(*held, shots, generator)
                                                     : sampling::counts(*held, shots, numpy_uniforms(generator));
    py::typing::Dict<py::str, py::int_> keyed;
    for (const auto& [outcome, count] : counted) keyed[key_text(outcome, width)] = py::int_(count);
    return keyed;
}

py::typing::List<py::str> sample_memory(Result& result, std::int64_t shots, const py::object& seed) {
    const unsigned long width = result.key_width();
    const shared_vector<double> held = result.probability_vector();
    const double shot_bytes = kBytesPerMemoryShot + static_cast<double>(width);
    memory_budget::reservation reserved = memory_budget::reserve(
        static_cast<double>(shots > 0 ? shots : 0) * shot_bytes,
        "sample_memory of " + std::to_string(shots) + " shots (" + std::to_string(static_cast<long>(shot_bytes)) +
            " bytes a shot)");
    const std::vector<std::uint64_t> outcomes = sampling::memory(*held, shots, numpy_uniforms(numpy_generator(seed)));
    py::typing::List<py::str> keys(outcomes.size());
    for (std::size_t i = 0; i < outcomes.size(); ++i) keys[i] = key_text(outcomes[i], width);
    return keys;
}

// Runs of a compiled program for each row of `values`.
std::vector<Result> run_sets(const compiled_program& program, const py::object& values,
                             bool expectations_only = false) {
    const parameter_values::rows array = parameter_values::read(values);
    const std::size_t width = program.parameters().size();
    if (array.ndim() > 2) throw py::value_error("values must be a 1-D or 2-D array, not " + std::to_string(array.ndim()) + "-D");
    const std::size_t columns = array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1))
                                                   : static_cast<std::size_t>(array.size());
    const std::size_t sets = array.ndim() == 2 ? static_cast<std::size_t>(array.shape(0)) : 1;
    if (columns != width) {
        throw py::value_error("values have " + std::to_string(columns) + " columns, but the program has " +
                              std::to_string(width) + " free parameters");
    }
    return run_compiled(program, array.data(), sets, expectations_only);
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
    circuit_errors::install(m);
    install_config_errors(m);
    limits_binding::install(m);
    // The probability a key must exceed to appear in Result.probabilities.
    m.attr("KEY_FLOOR") = Result::kKeyFloor;

    py::class_<BasicSimulator>(m, "BasicSimulator")
        .def(py::init<>())
        .def(
            "execute",
            [](BasicSimulator& self, const py::object& graph, const py::dict& config) {
                return execute_simulator(self, graph_of(graph), config_reader(config, config_keys::simulator()));
            },
            py::arg("graph"), py::arg("config"), py::pos_only());

    py::class_<Nmr>(m, "NMR")
        .def(py::init<>())
        .def(
            "execute",
            [](Nmr& self, const py::object& graph, const py::dict& config) {
                return execute_nmr(self, graph_of(graph), config_reader(config, config_keys::nmr()));
            },
            py::arg("graph"), py::arg("config"), py::pos_only());

    py::class_<compiled_program>(m, "Program",
                                 "A circuit graph read once, with its configuration, for runs with many sets of "
                                 "values of its free parameters (kovra_backends.compile).")
        .def_property_readonly("parameters", &compiled_program::parameters,
                               "The free parameters' names, in order of first use: the columns of `values`.")
        .def(
            "run", [](const compiled_program& program, const py::object& values) { return run_sets(program, values); },
            py::arg("values"),
             "One Result per row of `values` (a 2-D array, one column per parameter; a 1-D array is one row).")
        .def(
            "expectation_values",
            [](const compiled_program& program, const py::object& values, bool errors)
                -> py::typing::Union<py::array_t<double>, py::typing::Tuple<py::array_t<double>, py::array_t<double>,
                                                                            py::array_t<std::int64_t>>> {
                const std::vector<Result> results = run_sets(program, values, true);
                const std::size_t count = program.options().observables.size();
                py::array_t<double> out({results.size(), count});
                py::array_t<double> standard_errors({results.size(), count});
                py::array_t<std::int64_t> trajectories(static_cast<py::ssize_t>(results.size()));
                auto view = out.mutable_unchecked<2>();
                for (const Result& r : results) {
                    if (r.expectation_values.size() != count)
                        throw std::logic_error("a run returned " + std::to_string(r.expectation_values.size()) +
                                               " expectation values for " + std::to_string(count) + " observables");
                }
                auto error_view = standard_errors.mutable_unchecked<2>();
                auto trajectory_view = trajectories.mutable_unchecked<1>();
                for (std::size_t k = 0; k < results.size(); ++k) {
                    const Result& r = results[k];
                    trajectory_view(k) = static_cast<std::int64_t>(r.trajectories);
                    for (std::size_t o = 0; o < count; ++o) {
                        view(k, o) = r.expectation_values[o];
                        error_view(k, o) = o < r.expectation_errors.size() ? r.expectation_errors[o] : 0.0;
                    }
                }
                if (!errors) return std::move(out);
                return py::make_tuple(out, standard_errors, trajectories);
            },
            py::arg("values"), py::kw_only(), py::arg("errors") = false,
            "<O> of each of the configuration's \"observables\" for each row of `values`: an array of one row "
            "per set and one column per observable. With `errors`: (values, standard errors of the same shape, "
            "the trajectories each row averaged), the errors and trajectories 0 where a row is exact.");

    m.def(
        "compile",
        [](const py::object& graph, const py::dict& config) {
            return compile_simulator(graph_of(graph), config_reader(config, config_keys::simulator()));
        },
        py::arg("graph"), py::arg("config") = py::dict(),
        "Reads the graph and the BasicSimulator configuration once; gates whose \"params\" name free parameters "
        "are bound per run (Program.run).");

    m.def(
        "kernel_path", [] { return std::string(cpu_paths::name(cpu_paths::chosen())); },
        "The instruction set the kernels use: \"avx2\" or \"plain\" (the widest the CPU runs, unless the "
        "environment variable KOVRA_KERNELS asked for \"plain\" before the first run).");

    m.def("graph_capsule", &graph_capsule, py::arg("graph"),
          "python-igraph's capsule of `graph`, as execute() takes it, that keeps the graph alive for as "
          "long as the capsule lives (a plain capsule from __graph_as_capsule() does not).");

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
    // The getters reserve memory for the Python objects they build first.
    py::cpp_function set_states(
        [](Result& r, Result::state_vector states) { r.set_states(std::move(states)); }, py::is_method(result),
        py::arg("value"));
    py::cpp_function set_probabilities(
        [](Result& r, std::map<std::string, double> keyed) { r.set_probabilities(std::move(keyed)); },
        py::is_method(result), py::arg("value"));
    result.def(py::init<>())
        .def_property("states", &result_objects::states_of, set_states)
        .def_property("probabilities", &result_objects::probabilities_of, set_probabilities)
        .def_property_readonly("counts", &Result::get_counts)
        .def_property_readonly(
            "memory", &result_objects::memory_of,
            "With \"memory\": True (and \"probabilities\": False), the key of every shot drawn, in the order "
            "drawn: `counts` is its tally. Empty otherwise.")
        .def_property_readonly(
            "expectation_values", [](const Result& r) { return r.expectation_values; },
            "<O> of each observable of the configuration's \"observables\", in order: exact, over every "
            "measurement branch (empty without \"observables\").")
        .def_property_readonly(
            "key_count", &Result::key_count,
            "How many keys `probabilities` holds, without building them: a caller can choose between the "
            "keyed probabilities and `probability_array()` (2^width entries) by what each costs.")
        .def_property_readonly(
            "expectation_errors", [](const Result& r) { return r.expectation_errors; },
            "The standard error of each of `expectation_values` where the run was an estimate (\"method\": "
            "\"trajectories\", or \"automatic\" on a noisy register too wide for a density matrix); empty for "
            "exact results.")
        .def_property_readonly(
            "trajectories", [](const Result& r) { return r.trajectories; },
            "How many trajectories the run averaged: 0 for an exact result, else its probabilities and "
            "expectation values are estimates with standard errors (`probability_errors`, "
            "`expectation_errors`).")
        .def_property_readonly(
            "probability_errors", [](const Result& r) { return r.probability_errors; },
            "The standard error of each probability where the result is an estimate (\"method\": "
            "\"trajectories\"), keyed as `probabilities`; empty for exact results.")
        .def("get_random_reading", &Result::get_random_reading)
        .def(
            "probability_array", [](Result& self) { return shared_view(self.probability_vector()); },
            "The probabilities as a read-only float64 array shared with the result, without a copy: "
            "entry k is the outcome whose key is k in binary (the first key character the most "
            "significant bit), before small entries are dropped from `probabilities`.")
        .def(
            "state_array",
            [](const Result& self)
                -> py::typing::Union<py::array_t<std::complex<double>>, py::array_t<std::complex<float>>> {
                if (self.single_precision_states()) return shared_view(self.shared_single_states());
                return shared_view(self.shared_states());
            },
            "The final state vector as a read-only array shared with the result, without a copy: "
            "complex128, or complex64 from a run with \"precision\": \"single\"; empty when `states` is.")
        .def("sample_counts", &sample_counts, py::arg("shots"), py::arg("seed") = py::none(),
             "Counts of `shots` outcomes drawn independently with the probabilities of "
             "`probability_array()` (multinomial counts), from numpy.random.default_rng(seed).")
        .def("sample_memory", &sample_memory, py::arg("shots"), py::arg("seed") = py::none(),
             "The key of each of `shots` outcomes, in the order drawn; the same draws as "
             "`sample_counts` with the same seed.");
}
