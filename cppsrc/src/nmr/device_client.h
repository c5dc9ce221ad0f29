// The client of the NMR device, over the device library that is loaded from
// the module's own directory on first use.
//
// All members are static: a process talks to one device at a time, and the
// library calls back plain functions without a context argument. Callbacks
// arrive on the library's thread; they change the flags under `mutex_` and
// wake the waiting caller, and every failure they meet is handed to that
// caller, which raises it. Hold `session()` from `init` until `disconnect`.
//
// Members that are not trivially destroyed are references to objects that
// are never destroyed: a daemon thread may still wait for the device, and
// the library's thread may still call back, while the process exits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class DeviceClient {
public:
    // A pushed task has not finished yet.
    static std::atomic<bool> running;
    // The device accepted the login.
    static std::atomic<bool> loggedon;
    static std::string& username;
    static std::string& password;
    // Outcome probabilities of the last finished task, index = outcome number.
    static std::vector<double>& probabilities;

    // Called about ten times a second while a blocking call waits; whatever
    // it throws ends the wait (and reaches the caller). The driver uses it
    // to let Ctrl-C interrupt a device that never answers.
    static void (*interrupt_check)();

    // Serialises device sessions of concurrent callers; timed, so that a
    // caller waiting for its turn can check for Ctrl-C meanwhile.
    static std::timed_mutex& session();

    // Longest line the device accepts, the task message included.
    static constexpr std::size_t kMaxLine = 16 * 1024 * 1024;
    // Bytes of the line that pushes this task, newline included; the
    // caller refuses a task past kMaxLine before connecting (the device
    // would drop it and close the connection).
    static std::size_t task_line_size(const std::string& name, const std::string& description,
                                      const std::string& document, int qubits);

    // Loads the device library (once), connects and logs in; returns once the
    // login has been accepted. Raises std::runtime_error on failure, on a
    // closed connection and after 20 seconds without an answer.
    static void init(const std::string& address, std::uint16_t port, const std::string& user,
                     const std::string& password);

    // Runs one task and returns its probabilities; waits as long as the
    // device works on the task and the connection stays open, at most
    // `limit` (then raises std::runtime_error naming it).
    static std::vector<double> nmr_run(const std::string& name, const std::string& description,
                                       const std::string& document, int qubits,
                                       std::chrono::duration<double> limit);

    // From here on a task_finished reply is the result of the task just
    // pushed: the first one is taken, later ones are ignored, and one that
    // comes before this is a failure. Sets `running`.
    static void begin_task();

    // Closes the connection if one is open; idempotent.
    static void disconnect();

    // Callbacks registered with the device library.
    static void on_close();
    static void on_failed();
    static void on_opened();
    static void on_login_response(const char* text);
    static void on_push_task_response(const char* text);
    static void on_task_finished_post_callback(const char* text);

private:
    // Waits until `done` holds or `limit` has passed; false on timeout.
    template <typename Predicate, typename Duration>
    static bool wait(std::unique_lock<std::mutex>& lock, Predicate done, Duration limit);

    // Records the first failure of a session and wakes the caller.
    static void fail(const std::string& message);

    static std::mutex mutex_;
    static std::condition_variable& changed_;
    static bool failed_;
    static std::string& failure_;
    // True from init until the result has arrived: a closed connection in
    // between is a failure.
    static bool awaiting_;
    static bool connected_;
    // Where the session's task stands, for the task_finished replies.
    enum class task_stage { none, pushed, finished };
    static task_stage task_;
};
