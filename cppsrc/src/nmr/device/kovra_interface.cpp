// The device library: one TCP connection to an NMR device server, carrying
// one JSON message per line (see docs/device_protocol.md).
//
// A connection owns an io_context that runs on a thread of its own for as
// long as the connection exists; every socket operation and every callback
// happens on that thread. Calls from other threads post their work to it and
// wait for the outcome. The thread ends when disconnect_from_server (or the
// next connect_to_server) closes the socket and drops the work guard, which
// lets io_context::run return once every pending handler has run.
#include "kovra_interface.h"

#include <asio.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#define KOVRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using json = nlohmann::json;

// Longest message line accepted from the device (the reply of a 3-qubit task
// is a few hundred bytes).
constexpr std::size_t kMaxLine = 16 * 1024 * 1024;
// How long a request may take to reach the network.
constexpr std::chrono::seconds kSendLimit(60);

std::atomic<kovra_event_callback> on_closed{nullptr};
std::atomic<kovra_event_callback> on_failed{nullptr};
std::atomic<kovra_event_callback> on_opened{nullptr};
std::atomic<kovra_text_callback> on_login_response{nullptr};
std::atomic<kovra_text_callback> on_push_task_response{nullptr};
std::atomic<kovra_text_callback> on_task_finished{nullptr};

// Callbacks are foreign code: nothing they throw may end the library's thread.
void deliver(const std::atomic<kovra_event_callback>& slot) {
    kovra_event_callback callback = slot.load();
    if (callback == nullptr) return;
    try {
        callback();
    } catch (...) {
    }
}

void deliver(const std::atomic<kovra_text_callback>& slot, const std::string& text) {
    kovra_text_callback callback = slot.load();
    if (callback == nullptr) return;
    try {
        callback(text.c_str());
    } catch (...) {
    }
}

// The reply the device owes us next; a line that does not say which reply it
// is goes to the callback of that reply.
enum class awaiting { nothing, login, push, finish };

struct outgoing {
    std::string line;
    std::shared_ptr<std::promise<asio::error_code>> done;
};

class connection;
thread_local connection* current_io = nullptr;  // set on a connection's own thread

class connection {
public:
    connection() : work_(asio::make_work_guard(io_)), socket_(io_), resolver_(io_), input_(kMaxLine) {}

    // Normally the thread has been joined by shut_down; a connection still
    // running here (its last holder let go without closing it) is closed
    // without callbacks.
    ~connection() {
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
            return;
        }
        asio::post(io_, [this] {
            close(false);
            work_.reset();
        });
        thread_.join();
    }

    void start(const std::string& address, std::uint16_t port) {
        thread_ = std::thread([this] {
            current_io = this;
            io_.run();
            current_io = nullptr;
        });
        asio::post(io_, [this, address, port] { resolve(address, port); });
    }

    bool on_own_thread() const { return current_io == this; }

    // Queues one line; from another thread, waits until it has been written.
    asio::error_code send(std::string line, awaiting next) {
        line.push_back('\n');
        if (on_own_thread()) {
            if (!open_) return asio::error::not_connected;
            enqueue(outgoing{std::move(line), nullptr}, next);
            return {};
        }
        auto done = std::make_shared<std::promise<asio::error_code>>();
        std::future<asio::error_code> outcome = done->get_future();
        asio::post(io_, [this, line = std::move(line), done, next]() mutable {
            if (!open_) {
                done->set_value(asio::error::not_connected);
                return;
            }
            enqueue(outgoing{std::move(line), done}, next);
        });
        // A device that stops reading must not hold the caller forever.
        if (outcome.wait_for(kSendLimit) != std::future_status::ready) return asio::error::timed_out;
        return outcome.get();
    }

    // Closes the socket and lets the thread end; joins it unless called on it.
    void shut_down() {
        if (on_own_thread()) {
            close(true);
            work_.reset();
            return;
        }
        asio::post(io_, [this] {
            close(true);
            work_.reset();
        });
        if (thread_.joinable()) thread_.join();
    }

private:
    void resolve(const std::string& address, std::uint16_t port) {
        resolver_.async_resolve(
            address, std::to_string(port),
            [this](const asio::error_code& ec, asio::ip::tcp::resolver::results_type results) {
                if (closing_) return;
                if (ec) return fail();
                asio::async_connect(socket_, results,
                                    [this](const asio::error_code& ec2, const asio::ip::tcp::endpoint&) {
                                        if (closing_) return;
                                        if (ec2) return fail();
                                        open_ = true;
                                        opened_ = true;
                                        deliver(on_opened);
                                        read();
                                    });
            });
    }

    void fail() {
        if (failed_) return;
        failed_ = true;
        asio::error_code ignored;
        socket_.close(ignored);
        deliver(on_failed);
    }

    void read() {
        if (!open_) return;
        asio::async_read_until(socket_, input_, '\n', [this](const asio::error_code& ec, std::size_t size) {
            if (ec) return close(true);
            std::string line(asio::buffers_begin(input_.data()),
                             asio::buffers_begin(input_.data()) + static_cast<std::ptrdiff_t>(size));
            input_.consume(size);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            dispatch(line);
            read();
        });
    }

    void dispatch(const std::string& line) {
        json message = json::parse(line, nullptr, false);
        awaiting target = waiting_for_;
        if (message.is_object()) {
            auto type = message.find("type");
            if (type != message.end() && type->is_string()) {
                const std::string& kind = type->get_ref<const std::string&>();
                if (kind == "login_response") {
                    target = awaiting::login;
                } else if (kind == "push_task_response") {
                    target = awaiting::push;
                } else if (kind == "task_finished") {
                    target = awaiting::finish;
                } else {
                    return;  // a message kind of a later protocol revision
                }
            }
        }
        switch (target) {
            case awaiting::login:
                if (waiting_for_ == awaiting::login) waiting_for_ = awaiting::nothing;
                deliver(on_login_response, line);
                break;
            case awaiting::push:
                if (waiting_for_ == awaiting::push) waiting_for_ = awaiting::finish;
                deliver(on_push_task_response, line);
                break;
            case awaiting::finish:
                if (waiting_for_ == awaiting::finish) waiting_for_ = awaiting::nothing;
                deliver(on_task_finished, line);
                break;
            case awaiting::nothing:
                break;
        }
    }

    void enqueue(outgoing item, awaiting next) {
        waiting_for_ = next;
        queue_.push_back(std::move(item));
        if (!writing_) write_next();
    }

    void write_next() {
        if (queue_.empty() || !open_) return;
        writing_ = true;
        asio::async_write(socket_, asio::buffer(queue_.front().line),
                          [this](const asio::error_code& ec, std::size_t) {
                              writing_ = false;
                              outgoing done = std::move(queue_.front());
                              queue_.pop_front();
                              if (done.done) done.done->set_value(ec);
                              if (ec) return close(true);
                              write_next();
                          });
    }

    // Ends the connection once; the closed callback follows an opened one.
    void close(bool report) {
        closing_ = true;
        resolver_.cancel();
        asio::error_code ignored;
        if (socket_.is_open()) {
            socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
        open_ = false;
        while (!writing_ && !queue_.empty()) {
            if (queue_.front().done) queue_.front().done->set_value(asio::error::not_connected);
            queue_.pop_front();
        }
        if (report && opened_ && !closed_reported_) {
            closed_reported_ = true;
            deliver(on_closed);
        }
    }

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

std::mutex active_mutex;
// Never destroyed: at process exit a thread still in a device session may be
// closing it, which must not race with the destruction of the connection.
// The process's end closes the socket.
std::shared_ptr<connection>& active = *new std::shared_ptr<connection>;

// The connection a call works on: on the connection's own thread (inside a
// callback) that connection itself, which lives until its thread has ended;
// elsewhere the active one, kept alive by the returned pointer.
struct target {
    std::shared_ptr<connection> held;
    connection* conn = nullptr;
};

target current() {
    target t;
    if (current_io != nullptr) {
        t.conn = current_io;
        return t;
    }
    std::lock_guard<std::mutex> lock(active_mutex);
    t.held = active;
    t.conn = t.held.get();
    return t;
}

void end_active() {
    std::shared_ptr<connection> old;
    {
        std::lock_guard<std::mutex> lock(active_mutex);
        old.swap(active);
    }
    if (old) old->shut_down();
}

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

KOVRA_EXPORT void set_on_closed_callback(kovra_event_callback callback) { on_closed = callback; }
KOVRA_EXPORT void set_on_failed_callback(kovra_event_callback callback) { on_failed = callback; }
KOVRA_EXPORT void set_on_opened_callback(kovra_event_callback callback) { on_opened = callback; }
KOVRA_EXPORT void set_login_response_callback(kovra_text_callback callback) { on_login_response = callback; }
KOVRA_EXPORT void set_push_task_response_callback(kovra_text_callback callback) {
    on_push_task_response = callback;
}
KOVRA_EXPORT void set_task_finished_post_callback(kovra_text_callback callback) {
    on_task_finished = callback;
}

KOVRA_EXPORT void connect_to_server(const char* address, uint16_t port) {
    try {
        if (current_io != nullptr) {
            // Reconnecting from inside a callback would have to wait for the
            // calling thread itself.
            deliver(on_failed);
            return;
        }
        end_active();
        auto fresh = std::make_shared<connection>();
        {
            std::lock_guard<std::mutex> lock(active_mutex);
            active = fresh;
        }
        fresh->start(text_or_empty(address), port);
    } catch (...) {
        deliver(on_failed);
    }
}

KOVRA_EXPORT int request_login(const char* username, const char* password) {
    try {
        target conn = current();
        if (conn.conn == nullptr) return 1;
        json message = {{"type", "login"},
                        {"username", text_or_empty(username)},
                        {"password", text_or_empty(password)}};
        return conn.conn->send(message.dump(), awaiting::login) ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

KOVRA_EXPORT int64_t push_task_request(const char* task_name, const char* task_desc, const char* task,
                                       int qubits) {
    try {
        target conn = current();
        if (conn.conn == nullptr) return -1;
        json message = {{"type", "push_task"},
                        {"task_name", text_or_empty(task_name)},
                        {"task_desc", text_or_empty(task_desc)},
                        {"task", text_or_empty(task)},
                        {"qubits", qubits}};
        return conn.conn->send(message.dump(), awaiting::push) ? -1 : 0;
    } catch (...) {
        return -1;
    }
}

KOVRA_EXPORT void disconnect_from_server(void) {
    try {
        if (current_io != nullptr) {
            current_io->shut_down();
            return;
        }
        end_active();
    } catch (...) {
    }
}
