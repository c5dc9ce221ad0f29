// JSON read from a device, with a limit on nesting.
//
// The JSON library parses without recursion, but copying or comparing a
// value recurses once per level: a reply nested tens of thousands of levels
// deep (a few hundred kilobytes) would overflow the stack of whichever thread
// touches it. Such a reply is refused while it is parsed, before any value
// of it exists.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace bounded_json {

// Far above anything the protocol sends: a finished task nests three deep.
inline constexpr int kMaxDepth = 64;

// Parses `text` (nullptr reads as empty), throwing the library's parse error
// for malformed text and std::runtime_error naming the limit for text nested
// deeper than `max_depth` arrays and objects.
inline nlohmann::json parse(const char* text, int max_depth = kMaxDepth) {
    using json = nlohmann::json;
    auto limit = [max_depth](int depth, json::parse_event_t event, json&) {
        bool opens = event == json::parse_event_t::object_start ||
                     event == json::parse_event_t::array_start;
        if (opens && depth >= max_depth) {
            throw std::runtime_error("the JSON text is nested deeper than " +
                                     std::to_string(max_depth) + " levels");
        }
        return true;
    };
    return json::parse(text != nullptr ? text : "", limit);
}

}  // namespace bounded_json
