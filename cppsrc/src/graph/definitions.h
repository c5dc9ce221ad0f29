// Definitions and their parameters, read the same way for both back ends.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/call_context.h"

namespace frontend {

// (int) of a list value that must index a list of `size` items.
std::optional<std::size_t> position(double value, std::size_t size);

// The bodies of the graph's definitions, each looked up once.
class definition_table {
public:
    explicit definition_table(const graph_attributes::graph_reader& reader) : reader_(reader) {}

    // The body of `callee` in topological order: the vertices below the last
    // vertex whose "def" is `callee`. Refuses a call of a name no vertex
    // defines, and a "def" that cannot be read as text.
    const std::vector<int>& body(const call_context& context, int call_vertex, const std::string& callee);

private:
    const graph_attributes::graph_reader& reader_;
    std::unordered_map<std::string, std::vector<int>> bodies_;
};

// The values of body vertex `w`'s parameter functions ("params"), called
// with the caller's parameters that its "pindex" picks. Empty without
// "params". A function that raises raises through; anything else wrong is
// refused naming the vertex.
std::vector<double> evaluate_parameters(const graph_attributes::graph_reader& reader, const call_context& context,
                                        int w, const std::vector<double>& caller_params);

}  // namespace frontend
