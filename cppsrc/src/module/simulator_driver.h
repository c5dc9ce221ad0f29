// BasicSimulator.execute as Python calls it.
#pragma once

#include <igraph.h>

#include "core/result.h"
#include "module/config_reader.h"
#include "simulator/basic_simulator.h"

// Reads the configuration and the graph, runs the program without the
// interpreter lock and returns the result. Call with the lock held.
Result execute_simulator(BasicSimulator& simulator, const igraph_t* graph, const config_reader& config);
