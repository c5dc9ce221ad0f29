// The device client's handling of reply texts, as the device library hands
// them to its callbacks: the first byte picks the callback, the rest is the
// NUL-terminated text. A callback runs on the library's thread, so nothing
// may escape it: a bad reply becomes the session's failure. A finished task
// that the client accepts must carry exactly the probabilities it stores.
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>

#include "fuzz_common.h"
#include "nmr/bounded_json.h"
#include "nmr/device_client.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    static fuzz::null_buffer sink;
    std::cerr.rdbuf(&sink);  // the client reports each failure on stderr too
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text = fuzz::text_of(data + 1, size - 1);  // .c_str() stops at a NUL
    const char* reply = (data[0] & 0x80) != 0 ? nullptr : text.c_str();
    switch (data[0] % 3) {
        case 0:
            DeviceClient::on_login_response(reply);
            break;
        case 1:
            DeviceClient::on_push_task_response(reply);
            break;
        default: {
            DeviceClient::begin_task();
            DeviceClient::probabilities.assign(3, -1.0);
            DeviceClient::on_task_finished_post_callback(reply);
            if (DeviceClient::running) break;
            // Accepted: only a successful task's object, whose execution list
            // is what the client now holds.
            using nlohmann::json;
            if (reply == nullptr) std::abort();
            // The client accepted it, so it parses within the nesting limit.
            const json j = bounded_json::parse(reply);
            if (!j.is_object()) std::abort();
            const auto state = j.find("task_state");
            if (state == j.end() || *state != "S") std::abort();
            const auto result = j.find("task_result");
            if (result == j.end() || !result->is_object()) std::abort();
            const auto execution = result->find("execution");
            if (execution == result->end() || *execution != json(DeviceClient::probabilities)) std::abort();
            break;
        }
    }
    return 0;
}
