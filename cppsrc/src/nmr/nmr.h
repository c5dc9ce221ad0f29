// The NMR device back end.
#pragma once

#include <igraph.h>

#include "module/config.h"
#include "module/result.h"

class Nmr {
public:
    // Lowers the graph, runs it on the device and returns its probabilities.
    Result execute(const igraph_t* graph, const config_reader& config);
};
