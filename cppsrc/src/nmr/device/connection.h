// One connection of the device library (kovra_interface.cpp) to a device
// server, and the callbacks it delivers to.
//
// A connection owns an io_context that runs on a thread of its own for as
// long as the connection exists; every socket operation and every callback
// happens on that thread. Calls from other threads post their work to it and
// wait for the outcome. The thread ends when disconnect_from_server (or the
// next connect_to_server) closes the socket and drops the work guard, which
// lets io_context::run return once every pending handler has run.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "kovra_interface.h"

namespace kovra_device {

// The callbacks registered through the interface.
extern std::atomic<kovra_event_callback> on_closed;
extern std::atomic<kovra_event_callback> on_failed;
extern std::atomic<kovra_event_callback> on_opened;
extern std::atomic<kovra_text_callback> on_login_response;
extern std::atomic<kovra_text_callback> on_push_task_response;
extern std::atomic<kovra_text_callback> on_task_finished;

// Callbacks are foreign code: nothing they throw may end the library's thread.
void deliver(const std::atomic<kovra_event_callback>& slot);
void deliver(const std::atomic<kovra_text_callback>& slot, const std::string& text);

// The reply the device owes us next; a line that does not say which reply it
// is goes to the callback of that reply.
enum class awaiting { nothing, login, push, finish };

struct outgoing {
    std::string line;
    std::shared_ptr<std::promise<asio::error_code>> done;
};

class connection;
extern thread_local connection* current_io;  // set on a connection's own thread

class connection {
public:
    connection();

    // Normally the thread has been joined by shut_down; a connection still
    // running here (its last holder let go without closing it) is closed
    // without callbacks.
    ~connection();

    void start(const std::string& address, std::uint16_t port);

    bool on_own_thread() const { return current_io == this; }

    // Queues one line; from another thread, waits until it has been written.
    asio::error_code send(std::string line, awaiting next);

    // Closes the socket and lets the thread end; joins it unless called on it.
    void shut_down();

private:
    void resolve(const std::string& address, std::uint16_t port);
    void fail();
    void read();
    void dispatch(const std::string& line);
    void enqueue(outgoing item, awaiting next);
    void write_next();
    // Ends the connection once; the closed callback follows an opened one.
    void close(bool report);

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::ip::tcp::socket socket_;
    asio::ip::tcp::resolver resolver_;
    asio::streambuf input_;
    std::deque<outgoing> queue_;
    std::thread thread_;
    // The members below are touched only on the connection's own thread.
    awaiting waiting_for_ = awaiting::nothing;
    bool open_ = false;
    bool opened_ = false;
    bool failed_ = false;
    bool closing_ = false;
    bool writing_ = false;
    bool closed_reported_ = false;
};

}  // namespace kovra_device
