// The exact state-vector back end.
#pragma once

#include <igraph.h>

#include "module/config.h"
#include "module/result.h"

class BasicSimulator {
public:
    // Runs the circuit graph as the configuration asks and packs the result.
    Result execute(const igraph_t* graph, const config_reader& config);
};
