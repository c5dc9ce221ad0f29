#include "bindings/rank_failure.h"

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "comm/rank_comm.h"
#include "graph/python_exit.h"

namespace py = pybind11;

namespace rank_failure {

namespace {

// "ZeroDivisionError: float division by zero", as a traceback ends.
std::string described(const py::error_already_set& error) {
    const std::string kind = py::str(py::type::handle_of(error.value()).attr("__qualname__"));
    const std::string message = py::str(error.value());
    return message.empty() ? kind : kind + ": " + message;
}

// Puts `prefix` before the exception's message, keeping its type.
void prefix_message(const py::error_already_set& error, const std::string& prefix) {
    const py::object value = error.value();
    value.attr("args") = py::make_tuple(prefix + std::string(py::str(value)));
}

}  // namespace

void raise(rank_session& session) {
        if (!session.owes_agreement()) throw;
    // The failure as the caller would see it: a Python exception.
    py::error_already_set python = [] {
        try {
            throw;
        } catch (py::error_already_set& e) {
            return std::move(e);
        } catch (...) {
            py::detail::try_translate_exceptions();
            return py::error_already_set();
        }
    }();
    const std::string failure = described(python);  // read with the lock held
    bool all_failed;
    {
        python_exit::released others_may_run;
        all_failed = session.join_with_failure(failure);
    }
    if (!all_failed) prefix_message(python, "rank " + std::to_string(rank_comm::world().rank) + " failed: ");
    throw python;
}

}  // namespace rank_failure
