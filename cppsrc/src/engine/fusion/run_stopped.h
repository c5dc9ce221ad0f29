// What a run throws when its caller's keep-going hook says stop (Ctrl-C):
// anything it has computed so far is not a result.
#pragma once

#include <stdexcept>

struct run_stopped : std::runtime_error {
    run_stopped() : std::runtime_error("the run was stopped") {}
};
