// The device library: one TCP connection to an NMR device server, carrying
// one JSON message per line (see docs/device_protocol.md). The connection
// itself, its thread and the callbacks it delivers are in connection.h.
#include "kovra_interface.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>

#include "connection.h"

#define KOVRA_EXPORT extern "C" __attribute__((visibility("default")))

using namespace kovra_device;

namespace {

using json = nlohmann::json;

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
