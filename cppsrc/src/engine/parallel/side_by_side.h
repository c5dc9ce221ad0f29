// Tasks side by side on the process's CPUs: the sub-circuits of a parallel
// run, the streams of a trajectory run. Threads come from one process-wide
// count of spare CPUs, so that nested calls (a parameter function that runs
// a circuit, trajectories inside a parallel run) share the CPUs instead of
// each starting one thread per CPU.
#pragma once

#include <cstddef>
#include <functional>

namespace parallel {

// The CPUs this process may run on (its affinity mask), at least one.
unsigned cpu_count();

// The CPUs one loop on the calling thread may spread over: 1 on a task that
// side_by_side runs beside others (they hold the CPUs between them already:
// a pass splitting itself further would start threads the CPUs cannot run),
// cpu_count() elsewhere.
unsigned cpus_for_this_thread();

// Runs `work` on the calling thread and on up to `extra` more threads, as
// many as are spare (none when other calls hold them all), and returns when
// every one has returned. `work` takes whether it runs on the calling
// thread (the one that may look at the caller's keep-going hook), and must
// not throw. A thread that cannot start is left out: the others do its
// share.
void side_by_side(std::size_t extra, const std::function<void(bool caller)>& work);

}  // namespace parallel
