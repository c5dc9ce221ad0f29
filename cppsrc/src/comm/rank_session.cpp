#include "comm/rank_session.h"

#include <exception>
#include <vector>

#include "comm/rank_agreement.h"
#include "comm/rank_comm.h"

namespace {

thread_local rank_session* innermost = nullptr;

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

bool rank_session::join_with_failure(const std::string& described) {
    const rank_comm::rank_verdict mine{true, 0, described};
    const std::vector<rank_comm::rank_verdict> verdicts = rank_comm::gatherVerdicts(mine);
    agreed_ = expected_;
    return rank_agreement::allFailed(verdicts);
}
