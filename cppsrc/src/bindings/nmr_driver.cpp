// NMR.execute as Python calls it: the configuration and the graph are read
// once, under the interpreter lock; the device session runs without it,
// taking it back only to run pending signal handlers.
//
// The keys of the "execute" dict, their types and defaults:
//   "ip"             text      "127.0.0.1"
//   "port"           uint16    55444
//   "username"       text      ""
//   "password"       text      ""
//   "task_name"      text      "taskX"
//   "task_desc"      text      ""
//   "shots"          int       1024
//   "print_circuit"  bool      False   the task document on stdout
//   "timeout"        seconds   3600    how long the device may take
//   "mqubits"        ints      absent  the reported qubits (all when absent), read after the circuit
// Other keys are refused (config_keys lists these).
#include "bindings/nmr_driver.h"

#include <pybind11/pybind11.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "graph/graph_program.h"
#include "nmr/operation.h"
#include "nmr/device_client.h"
#include "graph/graph_reader.h"
#include "graph/python_exit.h"

namespace py = pybind11;

namespace {

// Texts travel as NUL-terminated C strings inside JSON messages: refuse what
// would be cut short or cannot be written as JSON. The message names the key
// only, never the value (it may be a credential).
void check_text(const char* key, const std::string& value) {
    if (value.find('\0') != std::string::npos) {
        throw std::invalid_argument("configuration \"" + std::string(key) + "\" contains a NUL character");
    }
    if (!is_utf8(value)) throw std::invalid_argument("configuration \"" + std::string(key) + "\" is not valid UTF-8");
}

// Every key but "mqubits", which is read once the circuit has been read.
nmr_options read_options(const config_reader& config) {
    config.refuse_unknown_keys();
    nmr_options o;
    o.ip = config.get_text("ip", o.ip);
    o.port = config.get_u16("port", o.port);
    o.username = config.get_text("username", o.username);
    o.password = config.get_text("password", o.password);
    o.task_name = config.get_text("task_name", o.task_name);
    o.task_desc = config.get_text("task_desc", o.task_desc);
    check_text("ip", o.ip);
    check_text("username", o.username);
    check_text("password", o.password);
    check_text("task_name", o.task_name);
    check_text("task_desc", o.task_desc);
    o.shots = config.get_int("shots", o.shots);
    o.print_circuit = config.get_bool("print_circuit", false);
    o.timeout = config.get_number("timeout", o.timeout);
    if (!(o.timeout > 0) || !std::isfinite(o.timeout)) {
        throw std::invalid_argument("configuration \"timeout\" must be a positive number of seconds, not " +
                                    std::to_string(o.timeout));
    }
    return o;
}

// Lets Python's signal handlers run while the device is awaited, so that
// Ctrl-C (KeyboardInterrupt) ends a wait for a device that never answers.
// Once the interpreter exits, a daemon thread still waiting sleeps here
// until the process ends.
void check_signals() {
    python_exit::acquired gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

Result execute_nmr(Nmr& nmr, const igraph_t* graph, const config_reader& config) {
    nmr_options options = read_options(config);
    const frontend::device_limits limits{Nmr::min_operation_bytes(), DeviceClient::kMaxLine};
    const program::sub_circuit device = frontend::read_device_program(graph_attributes::graph_reader(graph), limits);
    if (config.has("mqubits")) options.mqubits = config.get_int_list("mqubits");
    // The device session needs no Python: let other threads run meanwhile.
    python_exit::released released;
    return nmr.execute(device, options, &check_signals);
}
