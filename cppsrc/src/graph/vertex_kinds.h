// The kinds of vertex in a circuit graph: the values of the vertex attribute
// "type" (docs/graph_format.md), the same for both back ends.
// python/kovra/builder.py writes them under the same names.
#pragma once

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

}  // namespace vertex_kinds
