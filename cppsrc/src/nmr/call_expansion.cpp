#include "nmr/call_expansion.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "nmr/operation.h"
#include "nmr/tavrix.h"
#include "util/call_limits.h"
#include "util/vertex_kinds.h"

namespace nmr_calls {

using graph_attributes::graph_reader;

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::size_t min_operation_bytes() {
    static const std::size_t bytes = [] {
        const Operation shortest("", 0, 0);
        const std::size_t one = Tavrix::task_line_size("", "", task_document({shortest}, 1), 1);
        const std::size_t two = Tavrix::task_line_size("", "", task_document({shortest, shortest}, 1), 1);
        return two - one;
    }();
    return bytes;
}

std::string quoted(const std::string& text) { return json_quoted(printable_utf8(text)); }

int truncated_kind(const graph_reader& g, int v, double fallback) {
    double kind = g.number("type", v, fallback);
    if (!std::isfinite(kind) || kind < INT_MIN || kind > INT_MAX) {
        throw std::invalid_argument("vertex " + std::to_string(v) + ": \"type\" " + number_text(kind) +
                                    " is not a vertex kind");
    }
    return static_cast<int>(kind);
}

int find_definition(const graph_reader& g, const std::string& name) {
    // Each entry is fetched afresh and held: its __str__ may change the list.
    for (int id = g.vertex_count() - 1; id >= 0; --id) {
        graph_attributes::py_ref entry = g.entry("def", id);
        if (!entry || entry.is_none()) continue;
        std::unique_ptr<char, graph_attributes::free_deleter> text(
            graph_attributes::py_object_to_c_string(entry.get()));
        if (!text) {
            PyErr_Clear();
            continue;
        }
        if (std::strcmp(text.get(), name.c_str()) == 0) return id;
    }
    throw std::invalid_argument("call of unknown definition " + quoted(name));
}

expansion expansion_counter::of(const std::string& name) {
    auto known = sizes_.find(name);
    if (known != sizes_.end()) return known->second;
    if (std::find(counting_.begin(), counting_.end(), name) != counting_.end() ||
        counting_.size() >= kMaxCallDepth) {
        return {};
    }
    counting_.push_back(name);
    expansion size;
    int root = find_definition(g_, name);
    for (int t : g_.reachable_in_order(root, "body of the definition at vertex " + std::to_string(root))) {
        size.vertices += 1;
        if (truncated_kind(g_, t, vertex_kinds::GATE) == vertex_kinds::CALL) {
            const expansion inner = of(g_.name(t));
            size.vertices += inner.vertices;
            size.operations += inner.operations;
        } else {
            const std::size_t wires = g_.in_edge_numbers("qubit", t).size();
            if (wires >= 1 && wires <= kMaxOperationQubits) size.operations += 1;
        }
        if (size.vertices > call_limits::kMaxExpandedVertices) break;
    }
    counting_.pop_back();
    sizes_[name] = size;
    return size;
}

}  // namespace nmr_calls
