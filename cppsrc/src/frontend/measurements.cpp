// Measurements, resets and loop limits: the ops that end a qubit's
// superposition in some branch, each conditioned like a gate where the
// vertex has a "cmp".
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "frontend/sub_circuit_reader.h"

namespace frontend {

void sub_circuit_reader::read_reset(int v, const std::vector<double>& graph_qubits, const condition& cond) {
    if (graph_qubits.empty()) fail(v, "the reset lists no qubits in \"qubits\"");
    program::op op;
    op.kind = program::op_kind::reset;
    op.cond = cond;
    for (double graph_qubit : graph_qubits) {
        unsigned long q = local_qubit(v, graph_qubit);
        if (std::find(op.qubits.begin(), op.qubits.end(), q) != op.qubits.end()) {
            fail(v, "the reset lists qubit " + number_text(graph_qubit) + " more than once");
        }
        op.qubits.push_back(q);
    }
    append(std::move(op));
}

void sub_circuit_reader::read_measure(int v, const std::vector<double>& qubits, const condition& cond) {
    std::vector<double> targets = reader_.in_edge_numbers("clbit", v);
    if (targets.size() < qubits.size()) {
        fail(v, "the measurement lists " + std::to_string(qubits.size()) + " qubits but its incoming edges carry only " +
                    std::to_string(targets.size()) + " \"clbit\" values");
    }
    program::op op;
    op.kind = program::op_kind::measure;
    op.gate = GATE_MEASURE;
    op.cond = cond;
    for (std::size_t i = 0; i < qubits.size(); ++i) {
        unsigned long q = local_qubit(v, qubits[i]);
        if (std::find(op.qubits.begin(), op.qubits.end(), q) != op.qubits.end()) {
            fail(v, "the measurement lists qubit " + number_text(qubits[i]) + " more than once");
        }
        op.qubits.push_back(q);
        op.clbits.push_back(local_clbit(v, targets[i]));
    }
    append(std::move(op));
}

void sub_circuit_reader::read_loop_limit(int v, const condition& cond) {
    if (!cond.isValid()) fail(v, "a LOOP_LIMIT vertex needs the loop's condition (\"cmp\", \"constant\", \"conbit\" edges)");
    const std::vector<double> params = reader_.numbers("params", v);
    if (params.size() != 1 || !std::isfinite(params[0]) || params[0] < 0) {
        fail(v, "a LOOP_LIMIT vertex needs the iteration count as its one \"params\" entry");
    }
    program::op op;
    op.kind = program::op_kind::loop_limit;
    op.name = "the while loop ending at vertex " + std::to_string(v);
    op.angle = params[0];
    op.cond = cond;
    append(std::move(op));
}

}  // namespace frontend
