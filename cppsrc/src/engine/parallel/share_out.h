// Splitting one loop over [0, count) between threads.
#pragma once

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/parallel/worker_pool.h"

namespace gates {

// Runs fn(begin, end) over [0, count) split between `threads` threads, the
// calling thread taking the first share. Should a thread not start, its
// share runs on the calling thread: slower, same result.
template <typename Fn>
void shareOut(unsigned long count, unsigned threads, Fn fn) {
    threads = static_cast<unsigned>(std::min<unsigned long>(threads, count));
    if (threads <= 1) {
        fn(0UL, count);
        return;
    }
    // The process's kept threads, unless another call has them.
    if (worker_pool::run(count, threads, worker_pool::share(std::cref(fn)))) return;
    // Room first, so that nothing but a thread's start can fail once one runs.
    std::vector<std::thread> workers;
    std::vector<std::pair<unsigned long, unsigned long>> leftovers;
    workers.reserve(threads);
    leftovers.reserve(threads);
    for (unsigned k = 1; k < threads; ++k) {
        const unsigned long begin = count * k / threads, end = count * (k + 1) / threads;
        try {
            workers.emplace_back(fn, begin, end);
        } catch (const std::system_error&) {
            leftovers.emplace_back(begin, end);
        }
    }
    fn(0UL, count / threads);
    for (auto& [begin, end] : leftovers) fn(begin, end);
    for (std::thread& w : workers) w.join();
}

}  // namespace gates
