// Taking the interpreter lock back while the interpreter exits.
//
// Python 3.11 ends a thread that asks for the interpreter lock once the
// interpreter is finalising with pthread_exit. The unwinding that starts
// there aborts the process ("terminate called without an active exception")
// as soon as it passes a C++ destructor, and destructors are exactly where
// scoped releases take the lock back. A daemon thread still inside a long
// call (a device that has not answered, a large simulation) when the main
// thread returns would so turn a normal exit into SIGABRT.
//
// Instead, a thread of ours that would take the lock back after the exit
// has begun sleeps until the process ends: it holds nothing the exit needs
// (its device session and its vectors die with the process). The exit is
// noticed by a function registered with `atexit`, which Python calls before
// it marks the interpreter as finalising; that function first lets every
// thread that is already taking the lock back have it, so that no thread
// can be caught between the two.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace python_exit {

struct watch_state {
    std::mutex mutex;
    std::condition_variable settled;
    bool exiting = false;
    std::thread::id exiting_thread;  // the one that finalises: it goes on as usual
    int returning = 0;       // threads past the check that wait for the lock
    bool registered = false;  // guarded by the interpreter lock
};

// Never destroyed: threads may still use it while the process exits.
inline watch_state& state() {
    static watch_state* const shared = new watch_state;
    return *shared;
}

[[noreturn]] inline void sleep_until_process_ends() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Python's atexit runs this on the exiting thread, with the lock held.
inline void mark_exiting() {
    watch_state& s = state();
    pybind11::gil_scoped_release others_may_return;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.exiting = true;
    s.exiting_thread = std::this_thread::get_id();
    s.settled.wait(lock, [&] { return s.returning == 0; });
}

// Registers mark_exiting with atexit, once per process. Call it holding the
// lock, before releasing it.
inline void watch() {
    watch_state& s = state();
    if (s.registered) return;
    s.registered = true;
    pybind11::module_::import("atexit").attr("register")(pybind11::cpp_function(&mark_exiting));
}

// Counts the calling thread as returning to Python unless the exit has
// begun on another thread, in which case it never returns.
inline void enter() {
    watch_state& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.exiting && s.exiting_thread != std::this_thread::get_id()) {
        lock.unlock();
        sleep_until_process_ends();
    }
    ++s.returning;
}

inline void entered() {
    watch_state& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        --s.returning;
    }
    s.settled.notify_all();
}

// In place of pybind11::gil_scoped_release: releases the lock for the
// scope and takes it back at its end unless the interpreter is exiting.
class released {
public:
    released() {
        watch();
        thread_ = PyEval_SaveThread();
    }
    ~released() {
        enter();
        PyEval_RestoreThread(thread_);
        entered();
    }
    released(const released&) = delete;
    released& operator=(const released&) = delete;

private:
    PyThreadState* thread_;
};

// In place of pybind11::gil_scoped_acquire, on a thread that runs inside a
// `released` scope (or on one of its helper threads).
class acquired {
public:
    acquired() {
        enter();
        state_ = PyGILState_Ensure();
        entered();
    }
    ~acquired() { PyGILState_Release(state_); }
    acquired(const acquired&) = delete;
    acquired& operator=(const acquired&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace python_exit
