// The keys of BasicSimulator's "execute" dict, their types and defaults:
//
//   "parallel"       bool      False   one run per sub-circuit
//   "print_circuit"  bool      False   the circuit text on stdout
//   "fusion"         bool      absent  absent: fused from 16 qubits; False: exact
//   "mcbits"         ints      absent  key the result by these classical bits
//   "mqubits"        ints      absent  key the result by these qubits (all when absent)
//   "local_state"    bool      False   each MPI rank keeps its slice of the state
//   "shots"          int       1024    read after the run
//   "observables"    list      absent  of observables, each a list of (Pauli string, coefficient)
//                                      pairs: Result.expectation_values
//   "precision"      str       "double" "single": complex64 amplitudes, every gate a float matrix
//   "measure_reuse"  str       "auto"  "records", "branches" or "auto": how a measured qubit used
//                                      again, or a reset one, is run
//   "method"         str       "automatic"  "statevector", "density_matrix" or "automatic" (a density
//                                      matrix where the circuit holds channels)
//   "noise"          list      absent  channels attached to gates (module/noise_config.h)
//   "trajectories"   int       1000    runs averaged by "method": "trajectories"
//   "seed"           int       absent  the trajectories' and the shots' draws (absent: from the system's entropy)
//   "probabilities"  bool      True    False: no probabilities; Result.counts holds "shots" outcomes
//                                      drawn from the final amplitudes
//   "memory"         bool      False   with "probabilities": False, Result.memory lists the shots in order
//
// Other keys are refused (config_keys lists these).
#include "bindings/config/simulator_config.h"

#include "bindings/config/noise_config.h"

#include <cmath>
#include <exception>
#include <set>
#include <stdexcept>
#include <string>

namespace module_options {

namespace {

[[noreturn]] void refuse_term(std::size_t o, std::size_t t, const std::string& what) {
    throw std::invalid_argument("\"observables\" item " + std::to_string(o) + ", term " + std::to_string(t) + " " +
                                what);
}

// Every item of an iterable, taken once (a tuple copy holds them).
py::tuple items_of(const py::handle& value, const std::string& what) {
    PyObject* items = PySequence_Tuple(value.ptr());
    if (items == nullptr) {
        PyErr_Clear();
        throw std::invalid_argument(what + " is not a list");
    }
    return py::reinterpret_steal<py::tuple>(items);
}

std::vector<observable_spec> read_observables(const py::object& value) {
    std::vector<observable_spec> out;
    const py::tuple observables = items_of(value, "\"observables\"");
    for (std::size_t o = 0; o < observables.size(); ++o) {
        const py::tuple terms = items_of(observables[o], "\"observables\" item " + std::to_string(o));
        observable_spec spec;
        for (std::size_t t = 0; t < terms.size(); ++t) {
            // A bare string is a sequence too, of its characters.
            PyObject* pair = PyUnicode_Check(terms[t].ptr()) ? nullptr : PySequence_Tuple(terms[t].ptr());
            if (pair == nullptr && PyErr_Occurred()) PyErr_Clear();
            const py::tuple held = py::reinterpret_steal<py::tuple>(pair);
            if (!held || held.size() != 2 || !PyUnicode_Check(held[0].ptr()))
                refuse_term(o, t, "is not a (Pauli string, coefficient) pair");
            if (is_complex_number(held[1])) refuse_term(o, t, "has a coefficient that is not a real number");
            const double coefficient = PyFloat_AsDouble(held[1].ptr());
            if (coefficient == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                refuse_term(o, t, "has a coefficient that is not a real number");
            }
            // One such term would make every value of its observable NaN.
            if (!std::isfinite(coefficient))
                refuse_term(o, t, "has the coefficient " + py::repr(held[1]).cast<std::string>() +
                                      ", not a finite number");
            spec.push_back({held[0].cast<std::string>(), coefficient});
        }
        out.push_back(std::move(spec));
    }
    return out;
}

reuse_choice read_reuse(const config_reader& config) {
    return config.get_choice<reuse_choice>("measure_reuse", {{"auto", reuse_choice::automatic},
                                                             {"records", reuse_choice::records},
                                                             {"branches", reuse_choice::branches}});
}

precision_choice read_precision(const config_reader& config) {
    const std::string takes = "; it takes \"double\" or \"single\"";
    if (config.has("precision") && !py::isinstance<py::str>(config.item("precision")))
        throw std::invalid_argument("\"precision\" is " + py::repr(config.item("precision")).cast<std::string>() +
                                    takes);
    const std::string choice = config.get_text("precision", "double");
    if (choice == "double") return precision_choice::double_precision;
    if (choice == "single") return precision_choice::single_precision;
    throw std::invalid_argument("\"precision\" is \"" + choice + "\"" + takes);
}

}  // namespace

simulator_options read_simulator_options(const config_reader& config, bool& mqubits_unreadable) {
    config.refuse_unknown_keys();
    simulator_options options;
    options.parallel = config.get_bool("parallel", false);
    options.print_circuit = config.get_bool("print_circuit", false);
    options.precision = read_precision(config);
    if (config.has("fusion"))
        options.fusion = config.get_bool("fusion", false) ? fusion_choice::on : fusion_choice::off;
    if (config.has("mcbits")) {
        const std::vector<int> listed = config.get_int_list("mcbits");
        const std::set<int> bits(listed.begin(), listed.end());
        options.mcbits = std::vector<int>(bits.begin(), bits.end());
    }
    options.local_state = config.get_bool("local_state", false);
    options.probabilities = config.get_bool("probabilities", true);
    options.memory = config.get_bool("memory", false);
    if (options.memory && options.probabilities) {
        throw std::invalid_argument(
            "\"memory\": True lists the shots a run draws, which needs \"probabilities\": "
            "False (Result.sample_memory draws shots from a result's probabilities)");
    }
    options.reuse = read_reuse(config);
    options.method = read_method(config);
    read_trajectories(config, options);
    if (config.has("noise")) options.noise = read_noise(config.item("noise"));
    if (config.has("observables")) options.observables = read_observables(config.item("observables"));
    mqubits_unreadable = false;
    if (config.has("mqubits")) {
        try {
            for (int q : config.get_int_list("mqubits")) options.mqubits.insert(q);
        } catch (const std::exception&) {
            options.mqubits.clear();
            mqubits_unreadable = true;
        }
    }
    return options;
}

int read_shots(const config_reader& config, bool mqubits_unreadable) {
    const int shots = config.get_int("shots", simulator_options::kDefaultShots);
    if (mqubits_unreadable) config.get_int_list("mqubits");  // raises what is wrong with it
    return shots;
}

int read_drawn_shots(const config_reader& config, bool mqubits_unreadable) {
    const int shots = read_shots(config, mqubits_unreadable);
    if (shots < 0) throw std::invalid_argument("\"shots\" must not be negative, got " + std::to_string(shots));
    return shots;
}

}  // namespace module_options
