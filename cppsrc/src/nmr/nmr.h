// The NMR device back end: the device program (read from the graph by the
// front end, frontend/graph_program.h) lowered into timed operations, and
// its run on the device. Plain C++: the module reads the graph and the
// configuration and hands the rest over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "nmr/operation.h"
#include "ir/program.h"

// NMR's configuration, typed. module/ parses the "execute" dict into it
// once (module/nmr_driver.cpp holds the table of keys).
struct nmr_options {
    static constexpr const char* kDefaultIp = "127.0.0.1";
    static constexpr std::uint16_t kDefaultPort = 55444;
    static constexpr int kDefaultShots = 1024;
    // How long a task may run on the device unless "timeout" says otherwise:
    // far beyond any task of three qubits, yet not forever.
    static constexpr double kDefaultTimeout = 3600.0;

    std::string ip = kDefaultIp;
    std::uint16_t port = kDefaultPort;
    std::string username, password;
    std::string task_name = "taskX";
    std::string task_desc;
    int shots = kDefaultShots;
    bool print_circuit = false;
    double timeout = kDefaultTimeout;
    std::optional<std::vector<int>> mqubits;  // the reported qubits, as listed
};

class Nmr {
public:
    // Lowers the program, runs it on the device and returns its
    // probabilities. `interrupt_check` runs while the device is awaited and
    // may throw to end the wait (module/ runs Python's signal handlers).
    Result execute(const program::sub_circuit& device, const nmr_options& options, void (*interrupt_check)());

    // The program's ops as timed device operations, each given the first
    // time slot at which all of its qubits are free.
    std::vector<Operation> lower(const program::sub_circuit& device);

    // Assigns the next free slot common to `qubits` and occupies it on each;
    // -1 (and no change) unless there are 1 to 3 qubits.
    int update_timelist(std::vector<int>& timelist, std::initializer_list<int> qubits);

    // The fewest bytes one more operation adds to the task message: one with
    // the shortest fields there are (no name, qubit 0, slot 0), with its
    // separator, as the message escapes the document.
    static std::size_t min_operation_bytes();
};
