#include "simulator/setup/noise.h"

#include <algorithm>
#include <stdexcept>

#include "ir/gates.h"

namespace noise {

namespace {

std::string opName(const program::op& op) {
    switch (op.kind) {
        case program::op_kind::measure: return "MEASURE";
        case program::op_kind::reset: return "RESET";
        default: return gates::getGateName(op.gate);
    }
}

bool matches(const rule& r, const program::op& op) {
    if (r.readout) return false;
    if (op.kind != program::op_kind::gate && op.kind != program::op_kind::measure &&
        op.kind != program::op_kind::reset)
        return false;
    const std::string name = opName(op);
    if (!r.gates ? op.kind != program::op_kind::gate
                 : std::find(r.gates->begin(), r.gates->end(), name) == r.gates->end())
        return false;
    return !r.qubits || *r.qubits == op.qubits;
}

program::op channelOp(std::shared_ptr<const program::kraus_channel> channel, std::vector<unsigned long> qubits,
                      const condition& cond) {
    program::op out;
    out.kind = program::op_kind::channel;
    out.channel = std::move(channel);
    out.qubits = std::move(qubits);
    out.cond = cond;
    return out;
}

// The rule's channels for `op`: one on all its qubits, else one on each.
void appendChannels(const rule& r, const program::op& op, std::vector<program::op>& out) {
    const unsigned arity = static_cast<unsigned>(op.qubits.size());
    if (auto whole = r.channelFor(arity)) {
        out.push_back(channelOp(std::move(whole), op.qubits, op.cond));
        return;
    }
    auto each = r.channelFor(1);
    if (!each) {
        throw std::invalid_argument(r.label + ": its channel fits neither the " + std::to_string(arity) +
                                    " qubits of " + opName(op) + " nor each of them");
    }
    for (unsigned long q : op.qubits) out.push_back(channelOp(each, {q}, op.cond));
}

// The readout rules' errors on the measurement's qubits.
void addReadout(const noise_model& model, program::op& op) {
    for (const rule& r : model.rules) {
        if (!r.readout) continue;
        for (std::size_t i = 0; i < op.qubits.size(); ++i) {
            if (r.qubits && (r.qubits->size() != 1 || r.qubits->front() != op.qubits[i])) continue;
            op.readout.resize(op.qubits.size(), {1.0, 0.0, 0.0, 1.0});
            op.readout[i] = *r.readout;
        }
    }
}

}  // namespace

program::sub_circuit withNoise(const program::sub_circuit& sub, const noise_model& model) {
    program::sub_circuit out = sub;
    out.ops.clear();
    out.ops.reserve(sub.ops.size());
    for (const program::op& op : sub.ops) {
        std::vector<program::op> channels;
        for (const rule& r : model.rules)
            if (matches(r, op)) appendChannels(r, op, channels);
        // A measurement's error acts on what it reads: before it.
        const bool before = op.kind == program::op_kind::measure;
        if (!before) out.ops.push_back(op);
        for (program::op& c : channels) out.ops.push_back(std::move(c));
        if (before) {
            out.ops.push_back(op);
            addReadout(model, out.ops.back());
        }
    }
    return out;
}

bool hasChannels(const program::sub_circuit& sub) {
    return std::any_of(sub.ops.begin(), sub.ops.end(),
                       [](const program::op& op) { return op.kind == program::op_kind::channel; });
}

bool hasReadoutErrors(const program::sub_circuit& sub) {
    return std::any_of(sub.ops.begin(), sub.ops.end(), [](const program::op& op) { return !op.readout.empty(); });
}

}  // namespace noise
