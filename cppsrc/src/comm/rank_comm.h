// The ranks a run is spread over, and the few collective operations the
// distributed state needs. The only part of the engine that speaks MPI:
// built without MPI (no KOVRA_WITH_MPI), or in a process that mpirun did not
// start, it is a world of one rank and every operation is the identity.
//
// Every call is collective unless said otherwise: all ranks make the same
// calls in the same order, from the thread that runs the circuit.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rank_comm {

struct world_info {
    int rank = 0;
    int size = 1;        // ranks in the run
    int nodeRanks = 1;   // ranks sharing this rank's node (and its memory)
};

// The ranks of this process's MPI world. Initialises MPI on first use when
// the process was started by an MPI launcher and nothing initialised it yet
// (and then finalises it at exit); a plain `python` never initialises MPI.
// Not collective the second time on.
const world_info& world();

// Whether this module was built with MPI.
bool available();

// Sends `count` amplitudes from `send` to rank `partner` and receives as
// many from it into `receive` (the two must not overlap). T is double or
// float.
template <class T>
void exchange(const std::complex<T>* send, std::complex<T>* receive, std::size_t count, int partner);

// Element-wise sum over all ranks, the result on every rank.
void sumAll(std::vector<double>& values);
// The largest value over all ranks, on every rank.
double maxAll(double value);

// Every rank's `local` (all of the same length) concatenated in rank order,
// on every rank.
template <class T>
std::vector<T> gatherAll(const std::vector<T>& local);

// What a rank says before a run exchanges anything: the digest of what it
// compiled and a line that describes it, or that it failed and why.
struct rank_verdict {
    bool failed = false;
    std::uint64_t digest = 0;
    std::string text;
};

// Longest verdict text carried: the rest is cut off (at a character
// boundary of UTF-8).
constexpr std::size_t kVerdictText = 480;

// Every rank's verdict, in rank order, on every rank. One fixed-size record
// per rank, so ranks that disagree on everything else still agree on this.
std::vector<rank_verdict> gatherVerdicts(const rank_verdict& mine);

// Writes `message`, naming this rank, to standard error and ends every rank
// of the job: for a failure after the ranks began exchanging amplitudes,
// when the others would otherwise wait for this rank forever. Not
// collective. Without MPI, aborts this process.
[[noreturn]] void abortJob(const std::string& message);

}  // namespace rank_comm
