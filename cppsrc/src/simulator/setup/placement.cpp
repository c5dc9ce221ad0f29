#include "simulator/setup/placement.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "engine/run/run_refused.h"
#include "core/memory_budget.h"

namespace placement {

namespace {

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

class placer {
public:
    placer(const program::sub_circuit& sub, unsigned long max_lanes)
        : qnum_(static_cast<unsigned long>(sub.qubits)), clbits_(static_cast<unsigned long>(sub.clbits)),
          max_lanes_(max_lanes), depth_(qnum_, 0), touched_(qnum_, 0), measured_at_(qnum_, kNever) {
        current_.resize(qnum_);
        std::iota(current_.begin(), current_.end(), 0UL);
        entries_.reserve(sub.ops.size());
    }

    void place(const program::op& op) {
        switch (op.kind) {
            case program::op_kind::gate: place_gate(op); break;
            case program::op_kind::measure: place_measure(op); break;
            case program::op_kind::reset:
                for (unsigned long q : op.qubits) place_reset(q);
                break;
            case program::op_kind::loop_limit: break;  // checked by the branch run alone
            case program::op_kind::channel: throw run_refused();  // a density-matrix run's alone
            // One vector's record reads each bit from a qubit: it cannot
            // overwrite one (runs.cpp sends stores to branch states).
            case program::op_kind::store:
                throw std::invalid_argument("a STORE vertex writes a classical bit, which only a run of branch "
                                            "states does");
        }
    }

    placed_run finish() {
        std::vector<std::size_t> order(entries_.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        // Layer by layer, each layer in lane order: no two ops share both.
        std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            const entry &x = entries_[a], &y = entries_[b];
            return x.layer != y.layer ? x.layer < y.layer : x.holder < y.holder;
        });
        placed_run out;
        out.run.qubits = depth_.size();
        out.run.clbits = clbits_;
        out.run.ops.reserve(order.size());
        out.layers.reserve(order.size());
        out.holders.reserve(order.size());
        for (std::size_t k : order) {
            out.run.ops.push_back(std::move(entries_[k].op));
            out.layers.push_back(entries_[k].layer);
            out.holders.push_back(entries_[k].holder);
        }
        out.register_lanes = current_;
        out.reuses = depth_.size() - qnum_;
        return out;
    }

private:
    struct entry {
        std::size_t layer;
        unsigned long holder;
        lane_op op;
    };

    void raise(unsigned long lane, std::size_t length) { depth_[lane] = std::max(depth_[lane], length); }

    void place_gate(const program::op& op) {
        lane_op out = lane_gate(op);
        for (unsigned k = 0; k < out.arity && k < 3; ++k) out.qubits[k] = lane_for_use(out.qubits[k]);
        std::size_t layer = 0;
        for (unsigned k = 0; k < out.arity; ++k) layer = std::max(layer, depth_[out.qubits[k]]);
        // A later measurement of a bit this op reads must not overtake it.
        for (unsigned long bit : op.cond.getClbits()) {
            std::size_t& read = last_read_[bit];
            read = std::max(read, layer + 1);
        }
        unsigned holder = 0;
        while (depth_[out.qubits[holder]] != layer) ++holder;
        const unsigned long holding = out.qubits[holder];
        for (unsigned k = 0; k < out.arity; ++k) {
            depth_[out.qubits[k]] = layer + 1;
            touched_[out.qubits[k]] = 1;
        }
        entries_.push_back({layer, holding, std::move(out)});
    }

    void place_measure(const program::op& op) {
        std::vector<unsigned long> lanes;
        for (unsigned long q : op.qubits) lanes.push_back(lane_for_use(q));
        std::size_t h = 0;
        for (unsigned long lane : lanes) h = std::max(h, depth_[lane]);
        // A bit is written only after every conditioned op placed before has read it.
        for (unsigned long bit : op.clbits) {
            auto read = last_read_.find(bit);
            if (read != last_read_.end()) h = std::max(h, read->second);
        }
        for (std::size_t i = 0; i < lanes.size(); ++i) {
            lane_op out = measureOn(lanes[i], op.clbits[i]);
            out.cond = op.cond;  // shown in the text; only branch runs take a conditioned one
            entries_.push_back({h, lanes[i], std::move(out)});
            depth_[lanes[i]] = h + 1;
            touched_[lanes[i]] = 1;
            measured_at_[lanes[i]] = h;
        }
        for (unsigned long lane = 0; lane < depth_.size(); ++lane) raise(lane, h + 1);
        barrier_ = h + 1;
    }

    void place_reset(unsigned long q) {
        if (!touched_[current_[q]]) return;  // still |0>
        const unsigned long fresh = new_lane();
        raise(fresh, barrier_);  // later conditioned ops on it still follow every measurement
        current_[q] = fresh;
    }

    // The lane an op on register qubit q acts on, moving q to a fresh lane
    // first when its lane has been measured.
    unsigned long lane_for_use(unsigned long q) {
        const unsigned long lane = current_[q];
        const std::size_t at = measured_at_[lane];
        if (at == kNever) return lane;
        // The copy of the outcome goes just before the measurement, in a
        // layer of its own, while the measured lane may still be acted on.
        insert_layer(at);
        const unsigned long fresh = new_lane();
        lane_op copy;
        copy.gate = GATE_CNOT;
        copy.arity = 2;
        copy.qubits[0] = lane;
        copy.qubits[1] = fresh;
        entries_.push_back({at, lane, std::move(copy)});
        depth_[fresh] = std::max(at + 1, barrier_);
        touched_[fresh] = 1;
        current_[q] = fresh;
        return fresh;
    }

    // Moves every op at or after layer `at` one layer later.
    void insert_layer(std::size_t at) {
        for (entry& e : entries_)
            if (e.layer >= at) ++e.layer;
        for (std::size_t& d : depth_)
            if (d > at) ++d;
        for (std::size_t& m : measured_at_)
            if (m != kNever && m >= at) ++m;
        for (auto& read : last_read_)
            if (read.second > at) ++read.second;
        if (barrier_ > at) ++barrier_;
    }

    unsigned long new_lane() {
        if (depth_.size() >= max_lanes_) {
            throw std::invalid_argument("cannot simulate " + std::to_string(qnum_) + " qubits with " +
                                        std::to_string(depth_.size() - qnum_ + 1) +
                                        " or more reuses of measured or reset qubits: each adds a record qubit, "
                                        "and a state vector addresses at most " +
                                        std::to_string(max_lanes_) + " qubits");
        }
        depth_.push_back(0);
        touched_.push_back(0);
        measured_at_.push_back(kNever);
        return depth_.size() - 1;
    }

    unsigned long qnum_;
    unsigned long clbits_;
    unsigned long max_lanes_;
    std::vector<std::size_t> depth_;        // per lane: one past its last op's layer
    std::vector<char> touched_;             // per lane: some op acted on it
    std::vector<std::size_t> measured_at_;  // per lane: its measurement's layer, or kNever
    std::vector<unsigned long> current_;    // register qubit -> its lane
    std::size_t barrier_ = 0;               // every later op is at or after it (the last measurement + 1)
    // Per classical bit: one past the last layer a conditioned op reads it in.
    std::unordered_map<unsigned long, std::size_t> last_read_;
    std::vector<entry> entries_;
};

}  // namespace

lane_op lane_gate(const program::op& op) {
    lane_op out;
    out.gate = op.gate;
    out.arity = static_cast<unsigned char>(op.qubits.size());
    for (std::size_t k = 0; k < op.qubits.size() && k < 3; ++k) out.qubits[k] = op.qubits[k];
    out.angle = op.hasAngle ? op.angle : -1.0;
    out.hasAngle = op.hasAngle;
    out.cond = op.cond;
    return out;
}

placed_run place(const program::sub_circuit& sub, unsigned long max_lanes) {
    placer p(sub, max_lanes);
    for (const program::op& op : sub.ops) p.place(op);
    return p.finish();
}

circuit layered(const placed_run& placed) {
    const std::size_t lanes = placed.run.qubits;
    const std::size_t count = placed.layers.empty() ? 1 : placed.layers.back() + 1;
    memory_budget::reserve(static_cast<double>(count) * static_cast<double>(lanes) * sizeof(gate_unit),
                           "the circuit text of " + std::to_string(count) + " layers on " + std::to_string(lanes) +
                               " qubits");
    constexpr long kIdle = -1, kCovered = -2;
    std::vector<std::size_t> measured_from(lanes, kNever);
    std::vector<circuit_unit> units;
    std::size_t next = 0;
    for (std::size_t layer = 0; layer < count; ++layer) {
        std::vector<long> slot(lanes, kIdle);
        const std::size_t first = next;
        for (; next < placed.layers.size() && placed.layers[next] == layer; ++next) {
            const lane_op& op = placed.run.ops[next];
            for (unsigned k = 0; k < op.arity; ++k) slot[op.qubits[k]] = kCovered;
        }
        for (std::size_t k = first; k < next; ++k) slot[placed.holders[k]] = static_cast<long>(k);
        std::vector<gate_unit> records;
        for (unsigned long lane = 0; lane < lanes; ++lane) {
            if (measured_from[lane] <= layer || slot[lane] == kCovered) continue;
            if (slot[lane] == kIdle) {
                records.push_back(gate_unit(std::string("I"), lane));
                continue;
            }
            const lane_op& op = placed.run.ops[static_cast<std::size_t>(slot[lane])];
            records.push_back(op.record());
            if (op.measures()) measured_from[lane] = layer + 1;
        }
        units.push_back(circuit_unit(records));
    }
    return circuit(units, placed.run.clbits);
}

}  // namespace placement
