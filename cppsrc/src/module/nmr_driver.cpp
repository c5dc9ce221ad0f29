// NMR.execute: configuration, lowering, task document, the device session
// and the packing of the device's probabilities.
#include <pybind11/pybind11.h>

#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "nmr/nmr.h"
#include "nmr/tavrix.h"

namespace py = pybind11;

namespace {

// Texts travel as NUL-terminated C strings inside JSON messages: refuse what
// would be cut short or cannot be written as JSON. The message names the key
// only, never the value (it may be a credential).
void check_text(const char* key, const std::string& value) {
    if (value.find('\0') != std::string::npos) {
        throw std::invalid_argument("configuration \"" + std::string(key) + "\" contains a NUL character");
    }
    if (!is_utf8(value)) {
        throw std::invalid_argument("configuration \"" + std::string(key) + "\" is not valid UTF-8");
    }
}

// Ends the device session however the run leaves it.
struct session_guard {
    ~session_guard() { Tavrix::disconnect(); }
};

// True while this thread is inside a device session (a Python signal handler
// run during the wait could otherwise re-enter and deadlock on the session).
thread_local bool in_session = false;

struct session_flag {
    session_flag() { in_session = true; }
    ~session_flag() { in_session = false; }
};

// Lets Python's signal handlers run while the device is awaited, so that
// Ctrl-C (KeyboardInterrupt) ends a wait for a device that never answers.
void check_signals() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The task document: the operations, then the measured-qubit flags when
// "mqubits" is given (every listed qubit must lie in [0, qnum)).
std::string task_document(const std::vector<Operation>& operations, int qnum, const std::vector<int>* measured) {
    std::string document = "{\"gates\":[";
    for (std::size_t i = 0; i < operations.size(); ++i) {
        if (i > 0) document += ",\n";
        document += operations[i].to_string();
    }
    document += "]";
    if (measured != nullptr) {
        std::vector<int> flags(static_cast<std::size_t>(qnum), 0);
        for (int q : *measured) {
            if (q < 0 || q >= qnum) {
                throw std::invalid_argument("\"mqubits\" names qubit " + std::to_string(q) + ", outside [0, " +
                                            std::to_string(qnum) + ")");
            }
            flags[static_cast<std::size_t>(q)] = 1;
        }
        document += ",\n\"measures\":[";
        for (int q = 0; q < qnum; ++q) {
            if (q > 0) document += ",";
            document += flags[static_cast<std::size_t>(q)] ? "1" : "0";
        }
        document += "]";
    }
    return document + "}";
}

}  // namespace

Result Nmr::execute(const igraph_t* graph, const config_reader& config) {
    Result result;
    std::string ip = config.get_text("ip", "127.0.0.1");
    std::uint16_t port = config.get_u16("port", 55444);
    std::string username = config.get_text("username", "");
    std::string password = config.get_text("password", "");
    std::string task_name = config.get_text("task_name", "taskX");
    std::string task_desc = config.get_text("task_desc", "");
    check_text("ip", ip);
    check_text("username", username);
    check_text("password", password);
    check_text("task_name", task_name);
    check_text("task_desc", task_desc);
    result.shots = 1024;
    if (config.has("shots")) result.shots = config.get_int("shots", 1024);
    bool print_circuit = config.get_bool("print_circuit", false);

    std::vector<Operation> operations;
    int qnum = translate(graph, operations);
    bool measures = config.has("mqubits");
    std::vector<int> measured;
    if (measures) measured = config.get_int_list("mqubits");
    if (qnum < 1) {
        throw std::invalid_argument("graph attribute \"qnum\" is " + std::to_string(qnum) +
                                    ": a circuit needs at least one qubit");
    }

    // One key character per measured qubit; a qubit listed twice is still one qubit.
    unsigned long width = static_cast<unsigned long>(qnum);
    if (measures) width = std::set<int>(measured.begin(), measured.end()).size();
    const std::string document = task_document(operations, qnum, measures ? &measured : nullptr);
    if (print_circuit) std::cout << document << std::endl;

    if (in_session) throw std::runtime_error("NMR.execute cannot run while this thread waits for the device");
    std::vector<double> outcome;
    {
        session_flag flag;
        // The device session needs no Python: let other threads run meanwhile.
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> one_session(Tavrix::session());
        session_guard guard;
        Tavrix::interrupt_check = &check_signals;
        Tavrix::init(ip, port, username, password);
        outcome = Tavrix::nmr_run(task_name, task_desc, document, qnum);
    }

    // One probability per outcome of the reported qubits. Any other count
    // would fold outcomes the device should not have onto our keys, or turn
    // an empty answer into an empty success.
    const std::size_t outcomes = std::size_t{1} << width;
    if (outcome.size() != outcomes) {
        throw std::runtime_error("the device answered " + std::to_string(outcome.size()) +
                                 " probabilities for " + std::to_string(width) + " reported qubit" +
                                 (width == 1 ? "" : "s") + ", expected " + std::to_string(outcomes));
    }
    for (std::size_t i = 0; i < outcome.size(); ++i) {
        if (outcome[i] > 1e-10) result.probabilities[result.to_string(static_cast<long>(i), width)] = outcome[i];
    }
    result.set_probability_vector(std::move(outcome));
    return result;
}
