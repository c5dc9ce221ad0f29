// Where a reading of the graph stands: the calls being expanded. Messages
// name the vertex, its name, and the definition and call it sits in, the
// same way for both back ends.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "graph/graph_program.h"

namespace frontend {

class call_context {
public:
    explicit call_context(const graph_attributes::graph_reader& reader) : reader_(reader) {}

    // "vertex 7 (CNOT)", with the definition and call it sits in, if any.
    std::string where(int v) const;
    // Throws vertex_error: where(v), then `what`.
    [[noreturn]] void fail(int v, const std::string& what,
                           vertex_error::fault kind = vertex_error::fault::invalid) const;

    void enter(int call_vertex, const std::string& callee) { calls_.emplace_back(call_vertex, callee); }
    void leave() { calls_.pop_back(); }
    // Calls being expanded, outermost first.
    std::size_t depth() const { return calls_.size(); }
    bool expanding(const std::string& callee) const;

private:
    // The vertex's "name" when it is text, else empty.
    std::string name_of(int v) const;

    const graph_attributes::graph_reader& reader_;
    std::vector<std::pair<int, std::string>> calls_;  // call vertex, definition name
};

}  // namespace frontend
