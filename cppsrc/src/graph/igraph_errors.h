// Turns igraph's error reports into C++ exceptions.
//
// igraph's default error handler prints the reason and aborts the process.
// Our copy of igraph gets a handler that only records the report and frees
// igraph's clean-up stack, so every failing igraph call returns its error
// code and the caller raises `graph_error` with igraph's reason text.
//
// All igraph calls of this module happen while the calling thread holds the
// Python interpreter lock, so the process-wide clean-up stack and the
// recorded report are never touched by two threads at once.
#pragma once

#include <igraph.h>

#include <stdexcept>
#include <string>

namespace igraph_errors {

struct report {
    std::string reason;
    std::string file;
    int line = 0;
    int code = IGRAPH_SUCCESS;
};

inline report& last_report() {
    static thread_local report last;
    return last;
}

inline void record_and_unwind(const char* reason, const char* file, int line, int code) {
    report& last = last_report();
    last.reason = reason ? reason : "";
    last.file = file ? file : "";
    last.line = line;
    last.code = code;
    IGRAPH_FINALLY_FREE();
}

// Installs the recording handler; idempotent.
inline void install() {
    igraph_set_error_handler(&record_and_unwind);
    igraph_set_warning_handler(&igraph_warning_handler_ignore);
}

class graph_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raises the report that igraph recorded for the failed call that returned `code`.
[[noreturn]] inline void raise_last(int code, const std::string& context = {}) {
    const report& last = last_report();
    std::string message = last.reason.empty() ? igraph_strerror(code) : last.reason;
    if (!context.empty()) message = context + ": " + message;
    throw graph_error(message);
}

inline void check(int code, const std::string& context = {}) {
    if (code != IGRAPH_SUCCESS) raise_last(code, context);
}

}  // namespace igraph_errors
