#include "simulator/rank_session.h"

#include <pybind11/pybind11.h>

#include <exception>
#include <vector>

#include "engine/rank_agreement.h"
#include "engine/rank_comm.h"
#include "util/python_exit.h"

namespace py = pybind11;

namespace {

thread_local rank_session* innermost = nullptr;

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

rank_session::rank_session() {
    if (rank_comm::world().size <= 1) return;
    active_ = true;
    outer_ = innermost;
    innermost = this;
}

rank_session::~rank_session() {
    if (active_) innermost = outer_;
}

rank_session* rank_session::current() { return innermost; }

void rank_session::expect_runs(std::size_t runs) { expected_ = runs; }

void rank_session::agree(std::uint64_t digest, const std::string& description) {
    rank_agreement::digest d;
    d.add(digest).add(agreed_).add(expected_);
    std::string text = description;
    if (expected_ > 1) text += " as sub-circuit " + std::to_string(agreed_ + 1) + " of " + std::to_string(expected_);
    const std::vector<rank_comm::rank_verdict> verdicts = rank_comm::gatherVerdicts({false, d.value(), text});
    ++agreed_;
    try {
        rank_agreement::settle(verdicts);
    } catch (...) {
        // Every rank leaves the call here: none owes another agreement.
        expected_ = agreed_;
        throw;
    }
}

void rank_session::fail() {
    if (!active_ || agreed_ >= expected_) throw;
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
    const rank_comm::rank_verdict mine{true, 0, described(python)};
    std::vector<rank_comm::rank_verdict> verdicts;
    {
        python_exit::released others_may_run;
        verdicts = rank_comm::gatherVerdicts(mine);
    }
    agreed_ = expected_;
    if (!rank_agreement::allFailed(verdicts))
        prefix_message(python, "rank " + std::to_string(rank_comm::world().rank) + " failed: ");
    throw python;
}
