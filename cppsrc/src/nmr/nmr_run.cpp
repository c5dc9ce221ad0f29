// Nmr::execute: the task document, the device session and the packing of
// the device's probabilities.
#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nmr/nmr.h"
#include "nmr/device_client.h"

namespace {

// Ends the device session however the run leaves it.
struct session_guard {
    ~session_guard() { DeviceClient::disconnect(); }
};

// True while this thread is inside a device session (a signal handler run
// during the wait could otherwise re-enter and deadlock on the session).
thread_local bool in_session = false;

struct session_flag {
    session_flag() { in_session = true; }
    ~session_flag() { in_session = false; }
};

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

// Waits for the device session, running `interrupt_check` ten times a second.
std::unique_lock<std::timed_mutex> await_turn(void (*interrupt_check)()) {
    std::unique_lock<std::timed_mutex> turn(DeviceClient::session(), std::defer_lock);
    while (!turn.try_lock_for(std::chrono::milliseconds(100)))
        if (interrupt_check != nullptr) interrupt_check();
    return turn;
}

}  // namespace

Result Nmr::execute(const program::sub_circuit& device, const nmr_options& options, void (*interrupt_check)()) {
    const std::vector<Operation> operations = lower(device);
    const int qnum = device.qubits;
    if (qnum < 1) {
        throw std::invalid_argument("graph attribute \"qnum\" is " + std::to_string(qnum) +
                                    ": a circuit needs at least one qubit");
    }
    // One key character per measured qubit; a qubit listed twice is still one qubit.
    const std::vector<int>* measured = options.mqubits ? &*options.mqubits : nullptr;
    const unsigned long width =
        measured ? std::set<int>(measured->begin(), measured->end()).size() : static_cast<unsigned long>(qnum);
    const std::string document = task_document(operations, qnum, measured);
    if (options.print_circuit) std::cout << document << std::endl;
    const std::size_t line = DeviceClient::task_line_size(options.task_name, options.task_desc, document, qnum);
    if (line > DeviceClient::kMaxLine) {
        throw std::invalid_argument("the task message would be " + std::to_string(line) +
                                    " bytes, over the device's line limit of " + std::to_string(DeviceClient::kMaxLine) +
                                    " bytes");
    }

    if (in_session) throw std::runtime_error("NMR.execute cannot run while this thread waits for the device");
    std::vector<double> outcome;
    {
        session_flag flag;
        std::unique_lock<std::timed_mutex> one_session = await_turn(interrupt_check);
        session_guard guard;
        DeviceClient::interrupt_check = interrupt_check;
        DeviceClient::init(options.ip, options.port, options.username, options.password);
        outcome = DeviceClient::nmr_run(options.task_name, options.task_desc, document, qnum,
                                  std::chrono::duration<double>(options.timeout));
    }

    // One probability per outcome of the reported qubits. Any other count
    // would fold outcomes the device should not have onto our keys, or turn
    // an empty answer into an empty success.
    const std::size_t outcomes = std::size_t{1} << width;
    if (outcome.size() != outcomes) {
        throw std::runtime_error("the device answered " + std::to_string(outcome.size()) + " probabilities for " +
                                 std::to_string(width) + " reported qubit" + (width == 1 ? "" : "s") +
                                 ", expected " + std::to_string(outcomes));
    }
    check_device_probabilities(outcome);
    Result result;
    result.shots = options.shots;
    std::map<std::string, double> keyed;
    for (std::size_t i = 0; i < outcome.size(); ++i) {
        if (outcome[i] > Result::kKeyFloor) keyed[result.to_string(static_cast<long>(i), width)] = outcome[i];
    }
    result.set_probabilities(std::move(keyed), std::move(outcome));
    return result;
}
