// Threads kept for shareOut between calls. A pass over a vector of 2^20
// amplitudes takes about a millisecond on two CPUs, and starting and joining
// a thread for it cost 20 to 90 microseconds on this project's machines:
// a run of a dozen passes paid several percent for threads alone.
#pragma once

#include <functional>

namespace gates::worker_pool {

using share = std::function<void(unsigned long begin, unsigned long end)>;

// Runs share(begin, end) for the `threads` parts of [0, count) (the same
// split shareOut makes), the calling thread taking the first, the kept
// threads the others; returns when every part is done. Returns false,
// having run nothing, when the kept threads are busy with another call
// (a nested call, or runs side by side) or cannot be started: the caller
// then starts threads of its own. `share` must not throw.
bool run(unsigned long count, unsigned threads, const share& fn);

}  // namespace gates::worker_pool
