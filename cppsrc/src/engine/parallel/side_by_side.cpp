#include "engine/parallel/side_by_side.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace parallel {

unsigned cpu_count() {
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&cpus)));
    return std::max(1U, std::thread::hardware_concurrency());
}

namespace {

// Whether this thread runs a task beside others (side_by_side).
thread_local bool beside_others = false;

// Marks the thread's task as one of several for as long as it runs.
class beside_scope {
public:
    explicit beside_scope(bool beside) : before_(beside_others) { beside_others = beside_others || beside; }
    ~beside_scope() { beside_others = before_; }
    beside_scope(const beside_scope&) = delete;
    beside_scope& operator=(const beside_scope&) = delete;

private:
    bool before_;
};

// One per processor, shared by all calls (nested ones included), so a call
// gets fewer when others hold them, and none when none is free.
std::atomic<long>& spare_threads() {
    static std::atomic<long> spare{static_cast<long>(cpu_count())};
    return spare;
}

long reserve_threads(long wanted) {
    std::atomic<long>& spare = spare_threads();
    long free = spare.load();
    long taken;
    do {
        taken = std::min(free, wanted);
        if (taken <= 0) return 0;
    } while (!spare.compare_exchange_weak(free, free - taken));
    return taken;
}

}  // namespace

unsigned cpus_for_this_thread() { return beside_others ? 1U : cpu_count(); }

void side_by_side(std::size_t extra, const std::function<void(bool caller)>& work) {
    const long reserved = reserve_threads(static_cast<long>(extra));
    std::vector<std::thread> threads;
    for (long k = 0; k < reserved; ++k) {
        try {
            threads.emplace_back([&work] {
                beside_scope mark(true);
                work(false);
            });
        } catch (const std::system_error&) {
            break;  // the caller's thread does the rest
        }
    }
    {
        // Alone (no thread spare or started), the caller's task may still
        // spread its loops.
        beside_scope mark(!threads.empty());
        work(true);
    }
    for (std::thread& t : threads) t.join();
    spare_threads() += reserved;
}

}  // namespace parallel
