#include "connection.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <utility>

namespace kovra_device {

namespace {

using json = nlohmann::json;

// Longest message line accepted from the device (the reply of a 3-qubit task
// is a few hundred bytes).
constexpr std::size_t kMaxLine = 16 * 1024 * 1024;
// How long a request may take to reach the network.
constexpr std::chrono::seconds kSendLimit(60);

}  // namespace

std::atomic<kovra_event_callback> on_closed{nullptr};
std::atomic<kovra_event_callback> on_failed{nullptr};
std::atomic<kovra_event_callback> on_opened{nullptr};
std::atomic<kovra_text_callback> on_login_response{nullptr};
std::atomic<kovra_text_callback> on_push_task_response{nullptr};
std::atomic<kovra_text_callback> on_task_finished{nullptr};

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

thread_local connection* current_io = nullptr;

connection::connection() : work_(asio::make_work_guard(io_)), socket_(io_), resolver_(io_), input_(kMaxLine) {}

connection::~connection() {
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

void connection::start(const std::string& address, std::uint16_t port) {
    thread_ = std::thread([this] {
        current_io = this;
        io_.run();
        current_io = nullptr;
    });
    asio::post(io_, [this, address, port] { resolve(address, port); });
}

asio::error_code connection::send(std::string line, awaiting next) {
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

void connection::shut_down() {
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

void connection::resolve(const std::string& address, std::uint16_t port) {
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

void connection::fail() {
    if (failed_) return;
    failed_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    deliver(on_failed);
}

void connection::read() {
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

void connection::dispatch(const std::string& line) {
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

void connection::enqueue(outgoing item, awaiting next) {
    waiting_for_ = next;
    queue_.push_back(std::move(item));
    if (!writing_) write_next();
}

void connection::write_next() {
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

void connection::close(bool report) {
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

}  // namespace kovra_device
