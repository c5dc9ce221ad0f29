#include "nmr/device_client.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "nmr/bounded_json.h"
#include "nmr/device_loader.h"
#include "nmr/operation.h"

using json = nlohmann::json;

std::atomic<bool> DeviceClient::running{true};
std::atomic<bool> DeviceClient::loggedon{false};
std::string& DeviceClient::username = *new std::string;
std::string& DeviceClient::password = *new std::string;
std::vector<double>& DeviceClient::probabilities = *new std::vector<double>;
std::mutex DeviceClient::mutex_;
std::condition_variable& DeviceClient::changed_ = *new std::condition_variable;
bool DeviceClient::failed_ = false;
std::string& DeviceClient::failure_ = *new std::string;
bool DeviceClient::awaiting_ = false;
bool DeviceClient::connected_ = false;
DeviceClient::task_stage DeviceClient::task_ = DeviceClient::task_stage::none;
void (*DeviceClient::interrupt_check)() = nullptr;

namespace {

constexpr auto kLoginLimit = std::chrono::seconds(20);
constexpr int kDeviceQubitLimit = 3;

const char* const kLoginTimeout = "Login timeout!";
const char* const kLoginFailed = "Login failed!";
const char* const kConnectFailed = "Connect to server failed!";
const char* const kConnectOk = "Connect to server successfully!";
const char* const kLoginNotSent = "Send request-login message failed!";
const char* const kTooManyQubits = "Currently the quantum computer supports no more than 3 qubits.";
const char* const kSendFailed = "Sending message failed! Please check your network and try again later.";
const char* const kNotReady = "The machine is not ready for the task.";
const char* const kTaskFailed = "Task failed!";
const char* const kClosed = "The connection has been closed!";
const char* const kEarlyFinish = "the device reported a finished task before the task was pushed";

void say(std::ostream& stream, const std::string& text) { stream << text << std::endl; }

// A reply's "return_code": 0 accepts, anything else refuses. Numbers of any
// kind and booleans count; other values raise the JSON library's type error.
int return_code(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() == 0 ? 0 : 1;
    if (value.is_number_integer()) return value.get<std::int64_t>() == 0 ? 0 : 1;
    if (value.is_number_float()) return std::trunc(value.get<double>()) == 0 ? 0 : 1;
    return value.get<int>();
}

json parse_reply(const char* text) { return bounded_json::parse(text); }

}  // namespace

std::timed_mutex& DeviceClient::session() {
    static std::timed_mutex lock;
    return lock;
}

std::size_t DeviceClient::task_line_size(const std::string& name, const std::string& description,
                                   const std::string& document, int qubits) {
    // The device library's push message, as docs/device_protocol.md gives it.
    json message = {{"type", "push_task"},
                    {"task_name", name},
                    {"task_desc", description},
                    {"task", document},
                    {"qubits", qubits}};
    return message.dump(-1, ' ', false, json::error_handler_t::replace).size() + 1;
}

void DeviceClient::begin_task() {
    std::lock_guard<std::mutex> lock(mutex_);
    probabilities.clear();
    running = true;
    task_ = task_stage::pushed;
}

template <typename Predicate, typename Duration>
bool DeviceClient::wait(std::unique_lock<std::mutex>& lock, Predicate done, Duration limit) {
    constexpr auto kSlice = std::chrono::milliseconds(100);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        changed_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kSlice, deadline - now), done);
        if (!done() && interrupt_check != nullptr) {
            lock.unlock();
            interrupt_check();
            lock.lock();
        }
    }
    return true;
}

void DeviceClient::fail(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) {
        failed_ = true;
        failure_ = printable_utf8(message);  // it becomes a Python str
    }
    changed_.notify_all();
}

void DeviceClient::init(const std::string& address, std::uint16_t port, const std::string& user,
                  const std::string& pass) {
    const device_loader::api& api = device_loader::load();
    api.set_on_closed_callback(&DeviceClient::on_close);
    api.set_on_failed_callback(&DeviceClient::on_failed);
    api.set_on_opened_callback(&DeviceClient::on_opened);
    api.set_login_response_callback(&DeviceClient::on_login_response);
    api.set_push_task_response_callback(&DeviceClient::on_push_task_response);
    api.set_task_finished_post_callback(&DeviceClient::on_task_finished_post_callback);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = false;
        failure_.clear();
        awaiting_ = true;
        task_ = task_stage::none;
        loggedon = false;
        username = user;
        password = pass;
    }
    connected_ = true;
    api.connect_to_server(address.c_str(), port);

    std::unique_lock<std::mutex> lock(mutex_);
    bool answered = wait(lock, [] { return loggedon.load() || failed_; }, kLoginLimit);
    username.clear();
    password.clear();
    if (failed_) throw std::runtime_error(failure_);
    if (!answered) {
        say(std::cerr, kLoginTimeout);
        throw std::runtime_error(kLoginTimeout);
    }
}

std::vector<double> DeviceClient::nmr_run(const std::string& name, const std::string& description,
                                    const std::string& document, int qubits,
                                    std::chrono::duration<double> limit) {
    if (qubits > kDeviceQubitLimit) {
        say(std::cerr, kTooManyQubits);
        throw std::runtime_error(kTooManyQubits);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_) throw std::runtime_error(failure_);
    }
    begin_task();
    if (device_loader::load().push_task_request(name.c_str(), description.c_str(), document.c_str(), qubits) == -1) {
        say(std::cerr, kSendFailed);
        throw std::runtime_error(kSendFailed);
    }
    std::vector<double> result;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // A century stands for "no limit" and keeps the clock arithmetic in range.
        auto bounded = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::min(limit, std::chrono::duration<double>(3.2e9)));
        bool ended = wait(lock, [] { return !running.load() || failed_; }, bounded);
        if (failed_) throw std::runtime_error(failure_);
        if (!ended) {
            std::ostringstream text;
            text << "the device did not finish the task within " << limit.count()
                 << " s (configuration \"timeout\")";
            throw std::runtime_error(text.str());
        }
        result = probabilities;
    }
    disconnect();
    return result;
}

void DeviceClient::disconnect() {
    if (!connected_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        awaiting_ = false;  // closing the connection ourselves is no failure
        username.clear();
        password.clear();
    }
    device_loader::load().disconnect_from_server();
    connected_ = false;
}

void DeviceClient::on_close() {
    say(std::cout, kClosed);
    std::lock_guard<std::mutex> lock(mutex_);
    running = false;
    loggedon = false;
    if (awaiting_ && !failed_) {
        failed_ = true;
        failure_ = kClosed;
    }
    changed_.notify_all();
}

void DeviceClient::on_failed() {
    say(std::cerr, kConnectFailed);
    fail(kConnectFailed);
}

void DeviceClient::on_opened() {
    say(std::cout, kConnectOk);
    std::string user, pass;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        user = username;
        pass = password;
    }
    const device_loader::api* api = device_loader::loaded();
    if (api == nullptr || api->request_login(user.c_str(), pass.c_str()) != 0) {
        say(std::cout, std::string("on_opened") + kLoginNotSent);
        fail(kLoginNotSent);
    }
}

void DeviceClient::on_login_response(const char* text) {
    try {
        json reply = parse_reply(text);
        if (return_code(reply["return_code"]) != 0) {
            say(std::cerr, kLoginFailed);
            fail(kLoginFailed);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        loggedon = true;
        changed_.notify_all();
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

void DeviceClient::on_push_task_response(const char* text) {
    try {
        json reply = parse_reply(text);
        if (return_code(reply["return_code"]) != 0) {
            say(std::cerr, kNotReady);
            fail(kNotReady);
        }
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

void DeviceClient::on_task_finished_post_callback(const char* text) {
    try {
        task_stage stage;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stage = task_;
        }
        // A repeated reply cannot replace the result already taken.
        if (stage == task_stage::finished) return;
        if (stage == task_stage::none) return fail(kEarlyFinish);
        json reply = parse_reply(text);
        std::string state = reply["task_state"].get<std::string>();
        if (state != "S") {
            std::string id = reply["task_id"].get<std::string>();
            say(std::cerr, "The task " + id + " failed!");
            fail(kTaskFailed);
            return;
        }
        // Read in place: a copy of a reply recurses once per level.
        json& result = reply["task_result"];
        std::vector<double> execution = result["execution"].get<std::vector<double>>();
        std::lock_guard<std::mutex> lock(mutex_);
        probabilities = std::move(execution);
        task_ = task_stage::finished;
        awaiting_ = false;
        running = false;
        changed_.notify_all();
    } catch (const std::exception& e) {
        fail(e.what());
    }
}
