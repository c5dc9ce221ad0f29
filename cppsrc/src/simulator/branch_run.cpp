#include "simulator/branch_run.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <iomanip>
#include <sstream>
#include <utility>

#include "engine/run_refused.h"
#include "engine/sliced_run.h"
#include "simulator/placement.h"

namespace branch_run {

namespace {

using state_space::state_vector;

// The index bit of register qubit q: qubit 0 is the top bit.
unsigned long maskOf(unsigned long qubits, unsigned long q) { return 1UL << (qubits - 1 - q); }

// The probability of each outcome of qubit q in an unnormalised state.
std::array<double, 2> outcomeWeights(const state_vector& state, unsigned long qubits, unsigned long q) {
    const std::vector<double> sums = state_space::marginal(state, {qubits - 1 - q});
    return {sums[0], sums[1]};
}

// Whether b is a multiple of a (squared norms na, nb): |<a|b>|^2 = na nb,
// to rounding.
bool proportional(const state_vector& a, double na, const state_vector& b, double nb) {
    constexpr double kRounding = 1e-12;
    std::complex<double> inner = 0;
    for (std::size_t i = 0; i < a.size(); ++i) inner += std::conj(a[i]) * b[i];
    return std::norm(inner) >= na * nb * (1 - kRounding);
}

}  // namespace

run::run(const program::sub_circuit& sub, fusion_choice fusion)
    : qubits_(static_cast<unsigned long>(sub.qubits)),
      clbits_(static_cast<unsigned long>(sub.clbits)),
      fuse_(fusesAt(fusion, static_cast<unsigned long>(sub.qubits))),
      ops_(sub.ops),
      queuedMeasured_(qubits_, 0) {
    queued_.qubits = qubits_;
    queued_.clbits = clbits_;
    branches_.push_back(branch{state_space::zeroState(qubits_), measurement_record(qubits_, clbits_)});
}

void run::execute(const gates::keep_going& keepGoing) {
    keepGoing_ = [this, keepGoing] { return !(stopped_ = keepGoing && !keepGoing()); };
    for (const program::op& op : ops_) apply(op);
    flush();
}

void run::apply(const program::op& op) {
    if (keepGoing_ && !keepGoing_()) throw run_stopped();
    switch (op.kind) {
        case program::op_kind::gate: queueGate(op); break;
        case program::op_kind::measure: measure(op); break;
        case program::op_kind::reset: reset(op); break;
        case program::op_kind::loop_limit: checkLoopEnded(op); break;
    }
}

void run::checkLoopEnded(const program::op& op) {
    flush();
    decide(op.cond);
    double looping = 0;
    std::vector<branch> out;
    for (branch& b : branches_) {
        if (!b.record.satisfiable(op.cond)) {
            out.push_back(std::move(b));
            continue;
        }
        looping += state_space::squaredNorm(b.state);
    }
    if (looping > kNegligible) {
        std::ostringstream text;
        text << op.name << " still loops with probability " << std::setprecision(6) << looping << " after "
             << op.angle << " iterations";
        throw loop_limit_reached(text.str());
    }
    branches_ = std::move(out);  // what still loops is negligible
}

void run::queueGate(const program::op& op) {
    settleMeasured(op.qubits);
    queued_.ops.push_back(placement::lane_gate(op));
}

void run::measure(const program::op& op) {
    pure_ = false;
    if (!op.cond.isValid()) {
        for (std::size_t i = 0; i < op.qubits.size(); ++i) {
            settleMeasured({op.qubits[i]});
            queued_.ops.push_back(measureOn(op.qubits[i], op.clbits[i]));
            if (op.qubits[i] < qubits_) queuedMeasured_[op.qubits[i]] = 1;
        }
        return;
    }
    // Only the branches that satisfy the condition measure: each branch
    // must first know whether it does.
    flush();
    for (std::size_t i = 0; i < op.qubits.size(); ++i) {
        settle(op.qubits[i]);
        decide(op.cond);
        for (branch& b : branches_)
            if (b.record.satisfiable(op.cond)) b.record.measure(op.qubits[i], op.clbits[i]);
    }
}

void run::reset(const program::op& op) {
    pure_ = false;
    flush();
    for (unsigned long q : op.qubits) {
        if (q >= qubits_) throw run_refused();
        settle(q);
        if (op.cond.isValid()) decide(op.cond);
        std::vector<branch> out;
        for (std::size_t k = 0; k < branches_.size(); ++k) {
            branch& b = branches_[k];
            if (op.cond.isValid() && !b.record.satisfiable(op.cond))
                out.push_back(std::move(b));
            else
                split(out, std::move(b), q, out.size() + branches_.size() - k + 1, [&](branch& part, bool one) {
                    if (one) state_space::flipBit(part.state, maskOf(qubits_, q));  // back to |0>
                });
        }
        branches_ = std::move(out);
        merge();
    }
}

void run::flush() {
    if (queued_.ops.empty()) return;
    for (branch& b : branches_) {
        runCompiled(b.state, compileSliced(queued_, b.record), fuse_, keepGoing_);
        if (stopped_) throw run_stopped();
    }
    queued_.ops.clear();
    std::fill(queuedMeasured_.begin(), queuedMeasured_.end(), 0);
}

void run::settleMeasured(const std::vector<unsigned long>& qubits) {
    for (unsigned long q : qubits) {
        if (q >= qubits_) continue;  // the queue's compile refuses it
        bool measured = queuedMeasured_[q] != 0;
        for (const branch& b : branches_) measured = measured || b.record.isMeasured(q);
        if (!measured) continue;
        flush();
        settle(q);
    }
}

void run::settle(unsigned long qubit) {
    if (qubit >= qubits_) throw run_refused();
    std::vector<branch> out;
    for (std::size_t k = 0; k < branches_.size(); ++k) {
        branch& b = branches_[k];
        if (!b.record.isMeasured(qubit)) {
            out.push_back(std::move(b));
            continue;
        }
        split(out, std::move(b), qubit, out.size() + branches_.size() - k + 1,
              [&](branch& part, bool outcome) { part.record.settle(qubit, outcome); });
    }
    branches_ = std::move(out);
    merge();
}

void run::merge() {
    // Each branch is compared with the first few kept branches of its
    // record: enough for the repeats of a loop, bounded for any circuit.
    constexpr std::size_t kCompared = 8;
    std::vector<branch> kept;
    std::vector<double> norms;
    for (branch& b : branches_) {
        const double norm = state_space::squaredNorm(b.state);
        std::size_t compared = 0;
        bool joined = false;
        for (std::size_t k = 0; k < kept.size() && compared < kCompared && !joined; ++k) {
            if (!(kept[k].record == b.record)) continue;
            ++compared;
            if (!proportional(kept[k].state, norms[k], b.state, norm)) continue;
            const double scale = std::sqrt((norms[k] + norm) / norms[k]);
            for (auto& a : kept[k].state) a *= scale;
            norms[k] += norm;
            joined = true;
        }
        if (joined) continue;
        kept.push_back(std::move(b));
        norms.push_back(norm);
    }
    branches_ = std::move(kept);
}

void run::decide(const condition& c) {
    std::vector<unsigned long> read;
    for (const branch& b : branches_)
        for (unsigned long q : b.record.qubitsRead(c))
            if (std::find(read.begin(), read.end(), q) == read.end()) read.push_back(q);
    for (unsigned long q : read) settle(q);
}

template <typename Finish>
void run::split(std::vector<branch>& out, branch b, unsigned long qubit, std::size_t live, Finish finish) {
    const unsigned long mask = maskOf(qubits_, qubit);
    const std::array<double, 2> weights = outcomeWeights(b.state, qubits_, qubit);
    if (weights[0] > kNegligible && weights[1] > kNegligible) {
        branch one = copyOf(b, live);
        state_space::zeroPart(b.state, mask, true);
        finish(b, false);
        state_space::zeroPart(one.state, mask, false);
        finish(one, true);
        out.push_back(std::move(b));
        out.push_back(std::move(one));
        return;
    }
    // Certain: the branch collapses in place (or, when neither outcome has
    // weight, is dropped).
    if (weights[0] <= kNegligible && weights[1] <= kNegligible) return;
    const bool outcome = weights[1] > kNegligible;
    if (weights[!outcome] != 0) state_space::zeroPart(b.state, mask, !outcome);
    finish(b, outcome);
    out.push_back(std::move(b));
}

run::branch run::copyOf(const branch& from, std::size_t live) {
    // A branch beside its amplitudes: its record's tables and the
    // allocator's headers, generously.
    constexpr double kBranchOverhead = 1024;
    const double needed = static_cast<double>(live - 1) *
                          (static_cast<double>(from.state.size()) * sizeof(from.state[0]) + kBranchOverhead);
    if (needed > roomBytes_) {
        const double more = std::max(needed - roomBytes_, std::max(roomBytes_, memory_budget::kSmallBytes));
        room_.push_back(memory_budget::reserve(
            more, "room for " + std::to_string(live) + " live branches of " + std::to_string(qubits_) +
                      " qubits (a measured or reset qubit whose outcome is uncertain splits its branch: each live "
                      "branch is a state vector)"));
        roomBytes_ += more;
    }
    return branch{from.state, from.record};
}

}  // namespace branch_run
