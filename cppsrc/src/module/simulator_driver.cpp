#include <stdexcept>

#include "simulator/basic_simulator.h"

Result BasicSimulator::execute(const igraph_t* /*graph*/, const config_reader& config) {
    config.get_bool("parallel", false);
    config.get_bool("print_circuit", false);
    config.get_int("shots", Result::repeat);
    if (config.has("mqubits")) config.get_int_list("mqubits");
    throw std::runtime_error("the BasicSimulator back end is not built yet");
}
