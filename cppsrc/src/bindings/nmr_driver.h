// NMR.execute as Python calls it.
#pragma once

#include <igraph.h>

#include "core/result.h"
#include "bindings/config/config_reader.h"
#include "nmr/nmr.h"

// Reads the configuration and the graph, runs the device program without
// the interpreter lock and returns the result. Call with the lock held.
Result execute_nmr(Nmr& nmr, const igraph_t* graph, const config_reader& config);
