// The NMR device back end: lowering of a circuit graph into timed device
// operations and the run on the device.
#pragma once

#include <igraph.h>

#include <initializer_list>
#include <set>
#include <vector>

#include "module/config_reader.h"
#include "core/result.h"
#include "nmr/operation.h"

class Nmr {
public:
    // Lowers the graph, runs it on the device and returns its probabilities.
    Result execute(const igraph_t* graph, const config_reader& config);

    // The vertices of the weakly connected components that hold a register
    // declaration (vertex_kinds::REGISTER): the main circuit without definition bodies.
    std::set<int> decompose(const igraph_t* graph);

    // Appends the operations of the main circuit, calls expanded in place and
    // every operation given its as-soon-as-possible time slot; returns the
    // graph's qubit count "qnum" (nothing is lowered when it is below 1).
    // Throws, before anything reaches a device, on qubits outside
    // [0, qnum), unknown or recursive definitions, parameter positions outside
    // the caller's lists and failing parameter functions.
    int translate(const igraph_t* graph, std::vector<Operation>& operations);

    // Appends the operations of one call of the definition `name` with the
    // caller's qubits and parameter values (radians).
    void expand_caller(const igraph_t* graph, const char* name, igraph_vector_t* qubits,
                       igraph_vector_t* params, std::vector<int>& timelist,
                       std::vector<Operation>& operations);

    // Assigns the next free slot common to `qubits` and occupies it on each;
    // -1 (and no change) unless there are 1 to 3 qubits.
    int update_timelist(std::vector<int>& timelist, std::initializer_list<int> qubits);
};
