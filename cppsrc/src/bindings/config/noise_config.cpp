#include "bindings/config/noise_config.h"

#include <complex>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include "ir/channels.h"

namespace module_options {

namespace {

using channel_ptr = std::shared_ptr<const program::kraus_channel>;
namespace channels = program::channels;

// A readout error's rows and columns: one per outcome, 0 and 1.
constexpr std::size_t kReadoutOutcomes = 2;

[[noreturn]] void refuse(const std::string& label, const std::string& what) {
    throw std::invalid_argument(label + " " + what);
}

py::tuple items(const py::handle& value, const std::string& label) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) refuse(label, "is not a list");
    PyObject* held = PySequence_Tuple(value.ptr());
    if (held == nullptr) {
        PyErr_Clear();
        refuse(label, "is not a list");
    }
    return py::reinterpret_steal<py::tuple>(held);
}

// A rule's value under `key`, or nothing.
py::object field(const py::dict& rule, const char* key) {
    PyObject* value = PyDict_GetItemString(rule.ptr(), key);
    return value ? py::reinterpret_borrow<py::object>(value) : py::object();
}

double number(const py::dict& rule, const char* key, const std::string& label) {
    py::object value = field(rule, key);
    if (!value) refuse(label, "needs \"" + std::string(key) + "\"");
    const double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        refuse(label, "has a \"" + std::string(key) + "\" that is not a real number");
    }
    return x;
}

std::complex<double> entry(const py::handle& value, const std::string& label) {
    const Py_complex z = PyComplex_AsCComplex(value.ptr());
    if (z.real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        refuse(label, "holds an entry that is not a number");
    }
    return {z.real, z.imag};
}

std::vector<std::vector<std::complex<double>>> operators(const py::dict& rule, const std::string& label) {
    py::object value = field(rule, "operators");
    if (!value) refuse(label, "needs \"operators\": a list of Kraus matrices");
    std::vector<std::vector<std::complex<double>>> out;
    const py::tuple matrices = items(value, label + " \"operators\"");
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        const std::string at = label + " operator " + std::to_string(k);
        std::vector<std::complex<double>> flat;
        const py::tuple rows = items(matrices[k], at);
        for (const py::handle row : rows) {
            const py::tuple entries = items(row, at + " row");
            if (entries.size() != rows.size()) refuse(at, "is not square");
            for (const py::handle e : entries) flat.push_back(entry(e, at));
        }
        out.push_back(std::move(flat));
    }
    return out;
}

std::vector<std::pair<std::string, double>> pauliTerms(const py::dict& rule, const std::string& label) {
    py::object value = field(rule, "terms");
    if (!value) refuse(label, "needs \"terms\": [[Pauli string, probability], ...]");
    std::vector<std::pair<std::string, double>> out;
    for (const py::handle term : items(value, label + " \"terms\"")) {
        const py::tuple pair = items(term, label + " term");
        if (pair.size() != 2 || !PyUnicode_Check(pair[0].ptr())) refuse(label, "has a term that is not [Pauli string, probability]");
        const double p = PyFloat_AsDouble(pair[1].ptr());
        if (p == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            refuse(label, "has a term whose probability is not a real number");
        }
        out.emplace_back(pair[0].cast<std::string>(), p);
    }
    return out;
}

// "probabilities": [[P(0|0), P(1|0)], [P(0|1), P(1|1)]], row by outcome.
std::vector<double> readoutProbabilities(const py::dict& rule, const std::string& label) {
    py::object value = field(rule, "probabilities");
    if (!value) refuse(label, "needs \"probabilities\": [[P(0|0), P(1|0)], [P(0|1), P(1|1)]]");
    // Read row by row: flattened, [[1], [0, 0, 1]] would pass as two rows
    // of two, and a complex entry would lose its imaginary part.
    std::vector<double> out;
    const py::tuple rows = items(value, label + " \"probabilities\"");
    if (rows.size() != kReadoutOutcomes)
        refuse(label, "\"probabilities\" needs 2 rows, one per outcome, not " + std::to_string(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::string at = label + " \"probabilities\" row " + std::to_string(r);
        const py::tuple row = items(rows[r], at);
        if (row.size() != kReadoutOutcomes) refuse(at, "needs 2 probabilities, not " + std::to_string(row.size()));
        for (const py::handle p : row) {
            if (is_complex_number(p)) refuse(at, "holds " + py::repr(p).cast<std::string>() + ", not a real number");
            const double x = PyFloat_AsDouble(p.ptr());
            if (x == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                refuse(at, "holds " + py::repr(p).cast<std::string>() + ", not a real number");
            }
            out.push_back(x);
        }
    }
    return out;
}

// A channel of fixed size: given only for ops (or qubits) of that size.
std::function<channel_ptr(unsigned)> fixedSize(program::kraus_channel made) {
    auto held = std::make_shared<const program::kraus_channel>(std::move(made));
    const unsigned size = held->qubits();
    return [held, size](unsigned qubits) { return qubits == size ? held : channel_ptr(); };
}

std::function<channel_ptr(unsigned)> channelOf(const py::dict& rule, const std::string& name, const std::string& label) {
    if (name == "depolarizing") {
        const double p = number(rule, "p", label);
        channels::depolarizing(p, 1);  // checks p
        return [p, label](unsigned qubits) -> channel_ptr {
            if (qubits < 1 || qubits > channels::kMaxQubits) return nullptr;
            try {
                return std::make_shared<const program::kraus_channel>(channels::depolarizing(p, qubits));
            } catch (const channels::invalid_channel& e) {
                throw std::invalid_argument(label + ": " + e.what());
            }
        };
    }
    if (name == "pauli") return fixedSize(channels::pauli(pauliTerms(rule, label)));
    if (name == "amplitude_damping") return fixedSize(channels::amplitudeDamping(number(rule, "gamma", label)));
    if (name == "phase_damping") return fixedSize(channels::phaseDamping(number(rule, "lambda", label)));
    if (name == "thermal_relaxation") {
        return fixedSize(channels::thermalRelaxation(number(rule, "t1", label), number(rule, "t2", label),
                                                     number(rule, "time", label)));
    }
    if (name == "kraus") return fixedSize(channels::kraus(operators(rule, label)));
    refuse(label, "has \"channel\": \"" + name +
                      "\"; it takes \"depolarizing\", \"pauli\", \"amplitude_damping\", \"phase_damping\", "
                      "\"thermal_relaxation\" or \"kraus\"");
}

noise::rule readRule(const py::handle& item, const std::string& label) {
    if (!PyDict_Check(item.ptr())) refuse(label, "is not a dict");
    const py::dict rule = py::reinterpret_borrow<py::dict>(item);
    noise::rule out;
    out.label = label;
    py::object name = field(rule, "channel");
    if (!name || !PyUnicode_Check(name.ptr())) refuse(label, "needs \"channel\": the channel's name");
    try {
        if (name.cast<std::string>() == "readout")
            out.readout = channels::readoutError(readoutProbabilities(rule, label));
        else
            out.channelFor = channelOf(rule, name.cast<std::string>(), label);
    } catch (const channels::invalid_channel& e) {
        throw std::invalid_argument(label + ": " + e.what());
    }
    if (py::object gates = field(rule, "gates")) {
        // Listed, even empty, the names are all it follows ("qubits": [] alike).
        std::vector<std::string> listed;
        for (const py::handle g : items(gates, label + " \"gates\"")) {
            if (!PyUnicode_Check(g.ptr())) refuse(label, "has a gate name that is not a string");
            listed.push_back(g.cast<std::string>());
        }
        out.gates = std::move(listed);
    }
    if (py::object qubits = field(rule, "qubits")) {
        std::vector<unsigned long> listed;
        for (const py::handle q : items(qubits, label + " \"qubits\"")) {
            const long k = PyLong_AsLong(q.ptr());
            if (k == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                refuse(label, "has a qubit that is not an integer");
            }
            if (k < 0) refuse(label, "has a negative qubit");
            listed.push_back(static_cast<unsigned long>(k));
        }
        out.qubits = std::move(listed);
    }
    return out;
}

}  // namespace

noise::noise_model read_noise(const py::handle& value) {
    noise::noise_model out;
    const py::tuple rules = items(value, "\"noise\"");
    for (std::size_t k = 0; k < rules.size(); ++k) out.rules.push_back(readRule(rules[k], "\"noise\" item " + std::to_string(k)));
    return out;
}

run_method read_method(const config_reader& config) {
    return config.get_choice<run_method>("method", {{"automatic", run_method::automatic},
                                                    {"statevector", run_method::statevector},
                                                    {"density_matrix", run_method::density_matrix},
                                                    {"trajectories", run_method::trajectories}});
}

void read_trajectories(const config_reader& config, simulator_options& options) {
    if (config.has("trajectories")) {
        const long long count = config.get_long("trajectories", 0);
        if (count < 1 || count > kMaxTrajectories)
            throw std::invalid_argument("\"trajectories\" must be from 1 to " + std::to_string(kMaxTrajectories) +
                                        ", not " + std::to_string(count));
        options.trajectories = static_cast<unsigned long>(count);
    }
    const py::object seed = config.get_integer("seed");
    if (!seed.is_none()) {
        // Any integer, taken modulo 2^64.
        options.seed = PyLong_AsUnsignedLongLongMask(seed.ptr());
    } else {
        options.seed = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    }
}

}  // namespace module_options
