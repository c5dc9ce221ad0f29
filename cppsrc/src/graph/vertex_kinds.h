// The kinds of vertex in a circuit graph: the values of the vertex attribute
// "type" (docs/graph_format.md), the same for both back ends.
// python/kovra/builder.py writes them under the same names.
#pragma once

#include <cmath>
#include <optional>

namespace vertex_kinds {

// Values that are none of these are passed over. A vertex without a "type"
// is a gate, also inside a definition body.
enum kind : long {
    GATE = 0,      // a gate or a measurement
    CALL = 1,      // a call of the definition named by "name"
    REGISTER = 4,  // a register declaration, labelled like q0_3
    QUBIT = 5,     // one declared qubit, wired from its register
    CLBIT = 6,     // one declared classical bit, wired from its register
};

// The kind a "type" number names, truncated toward zero: how both readers
// tell gates from calls. Empty for a value that is not finite or lies past
// a billion either way, which names no kind. (Register declarations are
// found from the attribute's own object: graph_program.h, vertex_kind.)
inline std::optional<long> kind_of_number(double type) {
    if (!std::isfinite(type) || std::fabs(type) > 1e9) return std::nullopt;
    return static_cast<long>(type);
}

}  // namespace vertex_kinds
