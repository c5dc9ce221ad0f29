// Measurements, resets, loop limits, stores and channels: the ops that are
// not unitary gates, each conditioned like a gate where the vertex has a "cmp".
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "graph/sub_circuit_reader.h"
#include "ir/channels.h"

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
    read_readout(v, op);
    append(std::move(op));
}

void sub_circuit_reader::read_readout(int v, program::op& op) {
    // "readout": one readout error for every listed qubit, or one each.
    const std::vector<double> numbers = reader_.numbers("readout", v);
    if (numbers.empty()) return;
    const std::size_t each = numbers.size() == 4 ? 0 : 4;
    if (each != 0 && numbers.size() != 4 * op.qubits.size()) {
        fail(v, "\"readout\" holds " + std::to_string(numbers.size()) + " numbers: 4 (one readout error for every "
                "qubit) or 4 per listed qubit");
    }
    for (std::size_t i = 0; i < op.qubits.size(); ++i) {
        try {
            op.readout.push_back(program::channels::readoutError(
                {numbers.begin() + static_cast<long>(i * each), numbers.begin() + static_cast<long>(i * each + 4)}));
        } catch (const program::channels::invalid_channel& e) {
            fail(v, std::string("\"readout\": ") + e.what());
        }
    }
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

void sub_circuit_reader::read_store(int v, const std::vector<double>& graph_qubits, const condition& cond) {
    if (!graph_qubits.empty()) fail(v, "a STORE vertex acts on no qubit; its \"qubits\" must be empty");
    const std::vector<double> bits = reader_.numbers("clbits", v);
    if (bits.size() != 1) {
        fail(v, "a STORE vertex names the one classical bit it writes in \"clbits\"; it lists " +
                    std::to_string(bits.size()));
    }
    const std::vector<double> params = reader_.numbers("params", v);
    if (params.size() != 1 || (params[0] != 0 && params[0] != 1)) {
        fail(v, "a STORE vertex needs the value it writes, 0 or 1, as its one \"params\" entry");
    }
    program::op op;
    op.kind = program::op_kind::store;
    op.clbits.push_back(local_clbit(v, bits[0]));
    op.stored = params[0] == 1;
    op.cond = cond;
    append(std::move(op));
}

void sub_circuit_reader::read_kraus(int v, const std::vector<double>& graph_qubits, const condition& cond) {
    if (graph_qubits.empty() || graph_qubits.size() > program::channels::kMaxQubits) {
        fail(v, "a KRAUS vertex acts on 1 or " + std::to_string(program::channels::kMaxQubits) +
                    " qubits in \"qubits\"");
    }
    program::op op;
    op.kind = program::op_kind::channel;
    op.cond = cond;
    for (double graph_qubit : graph_qubits) {
        unsigned long q = local_qubit(v, graph_qubit);
        if (std::find(op.qubits.begin(), op.qubits.end(), q) != op.qubits.end())
            fail(v, "the KRAUS vertex lists qubit " + number_text(graph_qubit) + " more than once");
        op.qubits.push_back(q);
    }
    // "params": each operator's entries in row order, a real and an
    // imaginary part each.
    const std::vector<double> params = reader_.numbers("params", v);
    const std::size_t entries = std::size_t(1) << (2 * op.qubits.size());
    if (params.empty() || params.size() % (2 * entries) != 0) {
        fail(v, "a KRAUS vertex on " + std::to_string(op.qubits.size()) + " qubits needs \"params\" of whole " +
                    std::to_string(entries) + "-entry operators, a real and an imaginary part per entry; it has " +
                    std::to_string(params.size()) + " numbers");
    }
    std::vector<std::vector<std::complex<double>>> operators(params.size() / (2 * entries));
    for (std::size_t k = 0; k < operators.size(); ++k)
        for (std::size_t e = 0; e < entries; ++e)
            operators[k].emplace_back(params[2 * (k * entries + e)], params[2 * (k * entries + e) + 1]);
    try {
        op.channel = std::make_shared<const program::kraus_channel>(program::channels::kraus(std::move(operators)));
    } catch (const program::channels::invalid_channel& e) {
        fail(v, e.what());
    }
    append(std::move(op));
}

}  // namespace frontend
