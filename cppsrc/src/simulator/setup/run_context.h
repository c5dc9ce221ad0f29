// What a run needs from whoever called it, without knowing who that is:
// module/ answers with Python's signal handlers and raises the warnings once
// the run is over. A C++ caller may leave both alone.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/fusion/gate_runs.h"

struct run_context {
    // Asked between stretches of a run on the calling thread; false stops
    // the run with run_stopped.
    gates::keep_going keep_going;

    void warn(const std::string& message) {
        std::lock_guard<std::mutex> hold(lock);
        warnings.push_back(message);
    }
    std::vector<std::string> warnings;  // in the order given

private:
    std::mutex lock;
};
