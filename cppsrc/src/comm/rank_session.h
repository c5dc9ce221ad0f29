// One BasicSimulator.execute call on a rank of an MPI job of several ranks.
//
// Every run the call makes (spread over the ranks, or whole on each rank
// when the register is too small to split) starts with an agreement: the
// ranks compare digests of what they compiled and go on only when all
// compiled the same (engine/rank_agreement.h). A rank that fails before an
// agreement it owes (a parameter function that raises there, a gate its
// graph does not know, too little memory) joins that agreement with its
// failure instead, so the other ranks raise too rather than wait for it.
// A failure once the ranks exchange amplitudes ends the job (spread_run).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class rank_session {
public:
    // Counts as the call's session on this thread while it lives; has no
    // effect in a world of one rank.
    rank_session();
    ~rank_session();
    rank_session(const rank_session&) = delete;
    rank_session& operator=(const rank_session&) = delete;

    // The session of the call running on this thread; null outside a job
    // of several ranks.
    static rank_session* current();

    // The call makes `runs` runs (one unless said otherwise), each started
    // by an agreement.
    void expect_runs(std::size_t runs);

    // Agrees on the next run, described by `digest` and `description` (what
    // was compiled, for the message when ranks disagree). Throws, on every
    // rank that did not fail, rank_agreement::rank_failed when some rank
    // failed and rank_agreement::ranks_disagree when the digests differ.
    // Collective; needs no interpreter lock (and releases none).
    void agree(std::uint64_t digest, const std::string& description);

    // Whether this rank still owes the other ranks an agreement.
    bool owes_agreement() const { return active_ && agreed_ < expected_; }
    // Joins the agreement this rank owes with its failure, described as
    // the other ranks show it ("ZeroDivisionError: float division by
    // zero"); returns whether every rank failed. Collective.
    bool join_with_failure(const std::string& described);

private:
    bool active_ = false;
    rank_session* outer_ = nullptr;
    std::size_t agreed_ = 0;
    std::size_t expected_ = 1;
};
