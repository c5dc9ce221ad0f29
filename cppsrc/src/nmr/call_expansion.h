// What calls of definitions expand to, counted before any call is expanded,
// and the small pieces the NMR lowering shares with that count.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "util/graph_reader.h"

namespace nmr_calls {

// Nesting limit for calls of definitions inside definitions.
constexpr std::size_t kMaxCallDepth = 1000;
// A gate becomes one device operation when it acts on one to this many qubits.
constexpr std::size_t kMaxOperationQubits = 3;

// `value` with up to 15 significant digits, for messages.
std::string number_text(double value);
// Names in messages: quoted, with bytes that are not UTF-8 shown as \xNN.
std::string quoted(const std::string& text);
// The vertex kind ("type", util/vertex_kinds.h) of `v`, truncated; refuses one that is no
// finite int.
int truncated_kind(const graph_attributes::graph_reader& g, int v, double fallback);
// The root of the definition `name`: the highest vertex whose "def" is
// `name`; refuses an unknown definition.
int find_definition(const graph_attributes::graph_reader& g, const std::string& name);

// The fewest bytes one more operation adds to the task message: one with
// the shortest fields there are (no name, qubit 0, slot 0), with its
// separator, as the message escapes the document.
std::size_t min_operation_bytes();

// What a call of a definition expands to: its definition-body vertices and
// the device operations among them.
struct expansion {
    double vertices = 0;
    double operations = 0;
};

// Counts expansions once per definition, however often they are called.
class expansion_counter {
public:
    explicit expansion_counter(const graph_attributes::graph_reader& g) : g_(g) {}

    // The expansion of a call of `name`. A definition that calls itself,
    // directly or not, counts as nothing here; its expansion refuses it.
    // Counting stops past the limit on expanded vertices.
    expansion of(const std::string& name);

private:
    const graph_attributes::graph_reader& g_;
    std::map<std::string, expansion> sizes_;
    std::vector<std::string> counting_;  // definitions being counted, outermost first
};

}  // namespace nmr_calls
