// NMR.execute: configuration, lowering, task document, the device session
// and the packing of the device's probabilities.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "nmr/nmr.h"
#include "nmr/tavrix.h"
#include "util/python_exit.h"

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
// Once the interpreter exits, a daemon thread still waiting sleeps here
// until the process ends.
void check_signals() {
    python_exit::acquired gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// How long a task may run on the device unless "timeout" says otherwise: far
// beyond any task of three qubits, yet not forever.
constexpr double kDefaultTimeout = 3600.0;
// How far the device's probabilities may stray from what probabilities are
// (rounding of the device's arithmetic and of its number printing).
constexpr double kProbabilityTolerance = 1e-6;

std::string value_list(const std::vector<double>& values) {
    std::ostringstream text;
    text << std::setprecision(17) << '[';
    for (std::size_t i = 0; i < values.size(); ++i) text << (i ? ", " : "") << values[i];
    return text.str() + "]";
}

// A result the device could have measured: finite values, none negative and
// their sum 1, each up to kProbabilityTolerance. Anything else is refused
// rather than passed on as probabilities and counts.
void check_device_probabilities(const std::vector<double>& values) {
    double sum = 0;
    bool plausible = true;
    for (double p : values) {
        plausible = plausible && std::isfinite(p) && p >= -kProbabilityTolerance;
        sum += p;
    }
    if (plausible && std::fabs(sum - 1.0) <= kProbabilityTolerance) return;
    throw std::runtime_error("the device answered " + value_list(values) +
                             ", which are no probabilities (each must be finite and at least 0, "
                             "their sum 1, up to " + std::to_string(kProbabilityTolerance) + ")");
}

// Waits for the device session without holding the interpreter lock, checking
// for Ctrl-C ten times a second.
std::unique_lock<std::timed_mutex> await_turn() {
    std::unique_lock<std::timed_mutex> turn(Tavrix::session(), std::defer_lock);
    while (!turn.try_lock_for(std::chrono::milliseconds(100))) check_signals();
    return turn;
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
    double timeout = config.get_number("timeout", kDefaultTimeout);
    if (!(timeout > 0) || !std::isfinite(timeout)) {
        throw std::invalid_argument("configuration \"timeout\" must be a positive number of seconds, not " +
                                    std::to_string(timeout));
    }

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
    std::size_t line = Tavrix::task_line_size(task_name, task_desc, document, qnum);
    if (line > Tavrix::kMaxLine) {
        throw std::invalid_argument("the task message would be " + std::to_string(line) +
                                    " bytes, over the device's line limit of " +
                                    std::to_string(Tavrix::kMaxLine) + " bytes");
    }

    if (in_session) throw std::runtime_error("NMR.execute cannot run while this thread waits for the device");
    std::vector<double> outcome;
    {
        session_flag flag;
        // The device session needs no Python: let other threads run meanwhile.
        python_exit::released released;
        std::unique_lock<std::timed_mutex> one_session = await_turn();
        session_guard guard;
        Tavrix::interrupt_check = &check_signals;
        Tavrix::init(ip, port, username, password);
        outcome = Tavrix::nmr_run(task_name, task_desc, document, qnum,
                                  std::chrono::duration<double>(timeout));
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
    check_device_probabilities(outcome);
    std::map<std::string, double> keyed;
    for (std::size_t i = 0; i < outcome.size(); ++i) {
        if (outcome[i] > Result::kKeyFloor) keyed[result.to_string(static_cast<long>(i), width)] = outcome[i];
    }
    result.set_probabilities(std::move(keyed), std::move(outcome));
    return result;
}
