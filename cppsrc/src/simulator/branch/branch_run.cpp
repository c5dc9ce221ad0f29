#include "simulator/branch/branch_run.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <iomanip>
#include <sstream>
#include <utility>

#include "engine/run/run_refused.h"
#include "engine/run/sliced_run.h"
#include "simulator/setup/placement.h"

namespace branch_run {

namespace {

using state_space::state_vector;

// The index bit position of register qubit q: qubit 0 is the top bit.
unsigned long positionOf(unsigned long qubits, unsigned long q) { return qubits - 1 - q; }

}  // namespace

template <class Space>
run<Space>::run(const program::sub_circuit& sub, fusion_choice fusion)
    : qubits_(static_cast<unsigned long>(sub.qubits)),
      clbits_(static_cast<unsigned long>(sub.clbits)),
      // A density matrix of n qubits is a vector of 4^n entries: it fuses
      // from half the width a state vector does.
      fuse_(fusesAt(fusion, Space::indexBits(static_cast<unsigned long>(sub.qubits)))),
      ops_(sub.ops),
      queuedMeasured_(qubits_, 0) {
    queued_.qubits = qubits_;
    queued_.clbits = clbits_;
    branches_.push_back(branch{Space::zero(qubits_), measurement_record(qubits_, clbits_), {}});
}

template <class Space>
void run<Space>::execute(const gates::keep_going& keepGoing) {
    keepGoing_ = [this, keepGoing] { return !(stopped_ = keepGoing && !keepGoing()); };
    for (const program::op& op : ops_) apply(op);
    flush();
}

template <class Space>
void run<Space>::apply(const program::op& op) {
    if (keepGoing_ && !keepGoing_()) throw run_stopped();
    if (skipped(op)) return;
    switch (op.kind) {
        case program::op_kind::gate: queueGate(op); break;
        case program::op_kind::measure: measure(op); break;
        case program::op_kind::reset: reset(op); break;
        case program::op_kind::loop_limit: checkLoopEnded(op); break;
        case program::op_kind::channel: channel(op); break;
        case program::op_kind::store: store(op); break;
    }
}

template <class Space>
void run<Space>::recordsChanged() {
    ++recordsEpoch_;
    joined_ = false;
}

template <class Space>
bool run<Space>::actsNowhere(const program::op& op) {
    if (!op.cond.isValid() || queueMeasures_ || !joined_) return false;
    const bool gate = op.kind == program::op_kind::gate;
    // A measurement or reset flushes the queue and merges first; a channel
    // or a loop's end always runs.
    if (!gate && op.kind != program::op_kind::measure && op.kind != program::op_kind::reset) return false;
    if (!gate && !(queued_.ops.empty() && queuedChannels_.empty())) return false;
    if (measuredEpoch_ != recordsEpoch_) {
        measuredAnywhere_.assign(qubits_, 0);
        for (const branch& b : branches_)
            for (unsigned long q = 0; q < qubits_; ++q) measuredAnywhere_[q] |= b.record.isMeasured(q) ? 1 : 0;
        measuredEpoch_ = recordsEpoch_;
    }
    // A measured qubit the op acts on would be settled first.
    for (unsigned long q : op.qubits)
        if (q >= qubits_ || measuredAnywhere_[q] || queuedMeasured_[q]) return false;
    // What the records say of the condition, found once per change: the
    // ops of one body share their condition.
    auto [found, added] = holdsNowhere_.try_emplace(op.cond, recordsEpoch_, false);
    if (!added && found->second.first == recordsEpoch_) return found->second.second;
    const std::vector<unsigned long> bits = op.cond.getClbits();
    const bool nowhere = std::none_of(branches_.begin(), branches_.end(), [&](const branch& b) {
        return !b.record.qubitsRead(op.cond).empty() || b.record.satisfiable(op.cond) ||
               std::any_of(bits.begin(), bits.end(), [&](unsigned long bit) { return b.noisy.count(bit) != 0; });
    });
    found->second = {recordsEpoch_, nowhere};
    return nowhere;
}

template <class Space>
bool run<Space>::skipped(const program::op& op) {
    if (!actsNowhere(op)) return false;
    // A measurement or reset, even one that happens nowhere, leaves no
    // state vector to report: as when it runs.
    if (op.kind != program::op_kind::gate) pure_ = false;
    return true;
}

template <class Space>
void run<Space>::checkLoopEnded(const program::op& op) {
    flush();
    decide(op.cond);
    double looping = 0;
    std::vector<branch> out;
    for (branch& b : branches_) {
        if (!b.record.satisfiable(op.cond)) {
            out.push_back(std::move(b));
            continue;
        }
        looping += Space::weight(b.state, qubits_);
    }
    if (looping > kNegligible) {
        std::ostringstream text;
        text << op.name << " still loops with probability " << std::setprecision(6) << looping << " after "
             << op.angle << " iterations";
        throw loop_limit_reached(text.str());
    }
    branches_ = std::move(out);  // what still loops is negligible
    recordsChanged();
}

template <class Space>
void run<Space>::queueGate(const program::op& op) {
    // A condition on a noisy bit reads the value recorded, not the qubit.
    if (op.cond.isValid()) decideNoisy(op.cond);
    settleMeasured(op.qubits);
    queued_.ops.push_back(placement::lane_gate(op));
}

template <class Space>
void run<Space>::measure(const program::op& op) {
    pure_ = false;
    if (!op.cond.isValid()) {
        for (std::size_t i = 0; i < op.qubits.size(); ++i) {
            settleMeasured({op.qubits[i]});
            queued_.ops.push_back(measureOn(op.qubits[i], op.clbits[i]));
            queueMeasures_ = true;
            if (op.qubits[i] < qubits_) queuedMeasured_[op.qubits[i]] = 1;
            for (branch& b : branches_) noteReadout(b, op, i);
        }
        return;
    }
    // Only the branches that satisfy the condition measure: each branch
    // must first know whether it does.
    flush();
    for (std::size_t i = 0; i < op.qubits.size(); ++i) {
        settle(op.qubits[i]);
        decide(op.cond);
        for (branch& b : branches_) {
            if (!b.record.satisfiable(op.cond)) continue;
            b.record.measure(op.qubits[i], op.clbits[i]);
            noteReadout(b, op, i);
        }
        recordsChanged();
    }
}

template <class Space>
void run<Space>::reset(const program::op& op) {
    pure_ = false;
    if (Space::kTakesChannels && !op.cond.isValid()) return queueReset(op);
    flush();
    for (unsigned long q : op.qubits) {
        if (q >= qubits_) throw run_refused();
        settle(q);
        if (op.cond.isValid()) decide(op.cond);
        recordsChanged();
        std::vector<branch> out;
        for (std::size_t k = 0; k < branches_.size(); ++k) {
            branch& b = branches_[k];
            if (op.cond.isValid() && !b.record.satisfiable(op.cond))
                out.push_back(std::move(b));
            else
                split(out, std::move(b), q, out.size() + branches_.size() - k + 1, [&](branch& part, bool one) {
                    if (!one) return;
                    Space::flipBit(part.state, qubits_, positionOf(qubits_, q));  // back to |0>
                    part.touched();
                });
        }
        branches_ = std::move(out);
        merge();
    }
}

template <class Space>
void run<Space>::store(const program::op& op) {
    const unsigned long bit = op.clbits.at(0);
    if (bit >= clbits_) throw run_refused();
    // The queue's measurements reach the records only when it runs.
    flush();
    if (op.cond.isValid()) decide(op.cond);
    for (branch& b : branches_) {
        if (op.cond.isValid() && !b.record.satisfiable(op.cond)) continue;
        // The bit no longer reads an outcome: no readout error is drawn for it.
        b.noisy.erase(bit);
        b.record.store(bit, op.stored);
    }
    // Branches that differed only in the bit now hold the same record.
    merge();
}

template <class Space>
void run<Space>::flush() {
    if (queued_.ops.empty() && queuedChannels_.empty()) return;
    for (branch& b : branches_) {
        const std::vector<gates::compiled_gate> compiled = compileQueue(b);
        if (!compiled.empty()) b.touched();
        runCompiled(b.state, compiled, fuse_, keepGoing_);
        if (stopped_) throw run_stopped();
    }
    // Measurements write the records at their compile; channels mix.
    if (queueMeasures_ || !queuedChannels_.empty()) recordsChanged();
    queued_.ops.clear();
    queuedChannels_.clear();
    queuedDrawn_.clear();
    queueMeasures_ = false;
    std::fill(queuedMeasured_.begin(), queuedMeasured_.end(), 0);
}

template <class Space>
void run<Space>::settleMeasured(const std::vector<unsigned long>& qubits) {
    for (unsigned long q : qubits) {
        if (q >= qubits_) continue;  // the queue's compile refuses it
        bool measured = queuedMeasured_[q] != 0;
        for (const branch& b : branches_) measured = measured || b.record.isMeasured(q);
        if (!measured) continue;
        flush();
        settle(q);
    }
}

template <class Space>
void run<Space>::settle(unsigned long qubit) {
    if (qubit >= qubits_) throw run_refused();
    // Nothing to settle, and merging again would join nothing.
    if (joined_ && std::none_of(branches_.begin(), branches_.end(),
                                [&](const branch& b) { return b.record.isMeasured(qubit); }))
        return;
    recordsChanged();
    std::vector<branch> out;
    for (std::size_t k = 0; k < branches_.size(); ++k) {
        branch& b = branches_[k];
        if (!b.record.isMeasured(qubit)) {
            out.push_back(std::move(b));
            continue;
        }
        std::vector<unsigned long> noisyBits;
        for (unsigned long bit : b.record.readers(qubit))
            if (b.noisy.count(bit)) noisyBits.push_back(bit);
        std::vector<branch> parts;
        std::vector<bool> outcomes;
        const std::size_t live = out.size() + branches_.size() - k + 1;
        split(parts, std::move(b), qubit, live, [&](branch& part, bool outcome) {
            part.record.settle(qubit, outcome);
            outcomes.push_back(outcome);
        });
        for (std::size_t p = 0; p < parts.size(); ++p)
            recordNoisily(out, std::move(parts[p]), noisyBits, outcomes[p], out.size() + branches_.size() - k + 1);
    }
    branches_ = std::move(out);
    merge();
}

template <class Space>
void run<Space>::decide(const condition& c) {
    settleEach([&](const branch& b) { return b.record.qubitsRead(c); });
}

template <class Space>
void run<Space>::settleEach(const std::function<std::vector<unsigned long>(const branch&)>& qubitsOf) {
    std::vector<unsigned long> read;
    for (const branch& b : branches_)
        for (unsigned long q : qubitsOf(b))
            if (q < qubits_ && std::find(read.begin(), read.end(), q) == read.end()) read.push_back(q);
    for (unsigned long q : read) settle(q);
}

template <class Space>
template <typename Finish>
void run<Space>::split(std::vector<branch>& out, branch b, unsigned long qubit, std::size_t live, Finish finish) {
    const unsigned long position = positionOf(qubits_, qubit);
    const std::vector<double> weights = Space::marginal(b.state, qubits_, {position});
    if (weights[0] > kNegligible && weights[1] > kNegligible) {
        branch one = copyOf(b, live);
        Space::zeroPart(b.state, qubits_, position, true);
        b.touched();
        finish(b, false);
        Space::zeroPart(one.state, qubits_, position, false);
        one.touched();
        finish(one, true);
        out.push_back(std::move(b));
        out.push_back(std::move(one));
        return;
    }
    // Certain: the branch collapses in place (or, when neither outcome has
    // weight, is dropped).
    if (weights[0] <= kNegligible && weights[1] <= kNegligible) return;
    const bool outcome = weights[1] > kNegligible;
    if (weights[!outcome] != 0) {
        Space::zeroPart(b.state, qubits_, position, !outcome);
        b.touched();
    }
    finish(b, outcome);
    out.push_back(std::move(b));
}

template class run<pure_states>;
template class run<density_states>;

}  // namespace branch_run
