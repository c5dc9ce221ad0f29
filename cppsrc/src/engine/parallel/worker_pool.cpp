#include "engine/parallel/worker_pool.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace gates::worker_pool {

namespace {

// The kept threads and the one call they serve. Never destroyed: threads
// still waiting at exit must not outlive the mutex they wait on.
class pool {
public:
    // Starts threads until there are `wanted`; false when none more start.
    bool grow(unsigned wanted) {
        while (workers < wanted) {
            try {
                // No call runs while the pool grows: the newcomer waits for the next.
                std::thread(&pool::serve, this, workers, generation).detach();
            } catch (const std::system_error&) {
                return false;
            }
            ++workers;
        }
        return true;
    }

    void run(unsigned long count, unsigned threads, const share& fn) {
        {
            std::lock_guard<std::mutex> hold(lock);
            job = &fn;
            jobCount = count;
            jobThreads = threads;
            pending = threads - 1;
            ++generation;
        }
        wake.notify_all();
        std::exception_ptr failed;
        try {
            fn(0UL, count / threads);
        } catch (...) {
            failed = std::current_exception();  // the others still read `fn`: wait for them first
        }
        std::unique_lock<std::mutex> hold(lock);
        done.wait(hold, [&] { return pending == 0; });
        job = nullptr;
        if (failed) std::rethrow_exception(failed);
    }

    std::mutex busy;  // held by the call being served
    const pid_t owner = getpid();

private:
    // Worker k takes part k + 1 of every call that has that many parts.
    void serve(unsigned k, unsigned long seen) {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [&] { return generation != seen; });
            seen = generation;
            if (k + 1 >= jobThreads) continue;
            const share* fn = job;
            const unsigned long begin = jobCount * (k + 1) / jobThreads, end = jobCount * (k + 2) / jobThreads;
            hold.unlock();
            (*fn)(begin, end);
            hold.lock();
            if (--pending == 0) done.notify_one();
        }
    }

    std::mutex lock;
    std::condition_variable wake, done;
    const share* job = nullptr;
    unsigned long jobCount = 0, generation = 0;
    unsigned jobThreads = 0, pending = 0, workers = 0;
};

std::atomic<pool*> current{nullptr};

// The pool of this process: a child forked from a process with a pool has
// none of its threads, so it makes its own. (No lock: one held by another
// thread at the fork would stay held in the child for ever.)
pool& thisProcess() {
    pool* held = current.load();
    while (held == nullptr || held->owner != getpid()) {
        pool* fresh = new pool;
        if (current.compare_exchange_strong(held, fresh)) return *fresh;
        delete fresh;  // another thread made one first: `held` is it now
    }
    return *held;
}

}  // namespace

bool run(unsigned long count, unsigned threads, const share& fn) {
    pool& p = thisProcess();
    std::unique_lock<std::mutex> serving(p.busy, std::try_to_lock);
    if (!serving.owns_lock() || !p.grow(threads - 1)) return false;
    p.run(count, threads, fn);
    return true;
}

}  // namespace gates::worker_pool
