// BasicSimulator.execute as Python calls it.
#pragma once

#include <igraph.h>

#include "core/result.h"
#include "bindings/config/config_reader.h"
#include "simulator/basic_simulator.h"
#include "simulator/compiled_program.h"

// Reads the configuration and the graph, runs the program without the
// interpreter lock and returns the result. Call with the lock held.
Result execute_simulator(BasicSimulator& simulator, const igraph_t* graph, const config_reader& config);

// Reads the configuration and the graph once, for runs with many sets of
// values of its free parameters. Call with the lock held.
compiled_program compile_simulator(const igraph_t* graph, const config_reader& config);

// One run per set: `values` holds `sets` rows of one value per parameter.
// Runs without the interpreter lock. Call with the lock held.
// `expectations_only`: the Results hold only the expectation values.
std::vector<Result> run_compiled(const compiled_program& program, const double* values, std::size_t sets,
                                 bool expectations_only = false);
