#include <stdexcept>

#include "nmr/nmr.h"

Result Nmr::execute(const igraph_t* /*graph*/, const config_reader& config) {
    config.get_text("ip", "127.0.0.1");
    config.get_u16("port", 55444);
    config.get_text("username", "");
    config.get_text("password", "");
    config.get_text("task_name", "taskX");
    config.get_text("task_desc", "");
    config.get_int("shots", Result::repeat);
    config.get_bool("print_circuit", false);
    if (config.has("mqubits")) config.get_int_list("mqubits");
    throw std::runtime_error("the NMR back end is not built yet");
}
