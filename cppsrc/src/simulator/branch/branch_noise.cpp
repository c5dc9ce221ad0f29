// How a branch run copies its branches (within the memory budget) and what
// it does for noise: channels queued among the gates (or applied to the
// branches a condition picks) and readout errors, drawn once a noisy bit's
// qubit settles.
#include <algorithm>
#include <cmath>
#include <string>
#include <complex>
#include <utility>

#include "engine/space/density_space.h"
#include "engine/space/local_operator.h"
#include "engine/run/run_refused.h"
#include "engine/run/sliced_run.h"
#include "simulator/branch/branch_run.h"
#include "simulator/setup/placement.h"

namespace branch_run {

namespace {

// A given matrix as one step of a run: the fused kernels apply it.
gates::compiled_gate stepOf(const gates::fused_matrix* matrix) {
    gates::compiled_gate step;
    step.kind = gates::compiled_gate::FUSED;
    step.mask = matrix->positions;
    step.fused = matrix;
    return step;
}

// The first of `count` terms whose running sum of weights passes `target`
// (the last when rounding leaves the sum short of it).
template <class WeightOf>
std::size_t pickedBelow(std::size_t count, double target, WeightOf weightOf) {
    double below = 0;
    for (std::size_t k = 0; k < count; ++k) {
        below += weightOf(k);
        if (target < below) return k;
    }
    return count - 1;
}

}  // namespace

template <class Space>
void run<Space>::noteReadout(branch& b, const program::op& op, std::size_t i) const {
    if (op.readout.empty())
        b.noisy.erase(op.clbits[i]);
    else
        b.noisy[op.clbits[i]] = op.readout[i < op.readout.size() ? i : 0];
}

template <class Space>
void run<Space>::decideNoisy(const condition& c) {
    const std::vector<unsigned long> bits = c.getClbits();
    const bool noisy = std::any_of(branches_.begin(), branches_.end(), [&](const branch& b) {
        return std::any_of(bits.begin(), bits.end(), [&](unsigned long bit) { return b.noisy.count(bit) != 0; });
    });
    if (!noisy) return;
    flush();  // the queue may hold the measurements that wrote them
    settleEach([&](const branch& b) {
        std::vector<unsigned long> sources;
        for (unsigned long bit : bits)
            if (b.noisy.count(bit)) sources.push_back(b.record.source(bit));
        return sources;
    });
}

template <class Space>
std::vector<gates::compiled_gate> run<Space>::compileQueue(branch& b) const {
    if (queuedChannels_.empty()) return Space::lift(compileSliced(queued_, b.record), qubits_);
    std::vector<gates::compiled_gate> out;
    std::size_t from = 0;
    auto compilePiece = [&](std::size_t to) {
        op_list piece{queued_.qubits, queued_.clbits, {queued_.ops.begin() + static_cast<long>(from),
                                                       queued_.ops.begin() + static_cast<long>(to)}};
        const std::vector<gates::compiled_gate> part = Space::lift(compileSliced(piece, b.record), qubits_);
        out.insert(out.end(), part.begin(), part.end());
        from = to;
    };
    for (const auto& [at, matrix] : queuedChannels_) {
        compilePiece(at);
        out.push_back(stepOf(matrix));
    }
    compilePiece(queued_.ops.size());
    return out;
}

template <class Space>
void run<Space>::drawChannels(std::uint64_t seed, const channel_draws::draw_table& table) {
    draws_.emplace(seed);
    drawTable_ = &table;
}

template <class Space>
void run<Space>::channel(const program::op& op) {
    pure_ = false;
    for (unsigned long q : op.qubits)
        if (q >= qubits_) throw run_refused();
    if constexpr (!Space::kTakesChannels) {
        if (!draws_ || !drawTable_) throw run_refused();
        settleMeasured(op.qubits);
        // One branch and no condition: the draw waits in the queue with
        // the gates, and reads the state only where the channel needs it.
        if (!op.cond.isValid() && branches_.size() == 1) return drawKraus(branches_.front(), op, true);
        flush();
        if (op.cond.isValid()) decide(op.cond);
        for (branch& b : branches_)
            if (!op.cond.isValid() || b.record.satisfiable(op.cond)) drawKraus(b, op, false);
        recordsChanged();  // the states changed apart: some may join now
    } else {
        settleMeasured(op.qubits);
        const gates::fused_matrix* matrix = superoperatorOf(*op.channel, op.qubits);
        if (!op.cond.isValid()) {
            queuedChannels_.emplace_back(queued_.ops.size(), matrix);
            return;
        }
        flush();
        decide(op.cond);
        for (branch& b : branches_) {
            if (!b.record.satisfiable(op.cond)) continue;
            b.touched();
            runCompiled(b.state, {stepOf(matrix)}, false, keepGoing_);
            if (stopped_) throw run_stopped();
        }
        recordsChanged();
    }
}

template <class Space>
void run<Space>::drawKraus(branch& b, const program::op& op, bool queue) {
    const channel_draws::placed_channel& placed = drawTable_->at(op);
    const channel_draws::drawn_channel& drawn = placed.drawn;
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(*draws_);
    if (u < drawn.fixedTotal) {
        // A term of fixed probability: no need to look at the state.
        const std::size_t chosen =
            pickedBelow(drawn.fixed.size(), u, [&](std::size_t k) { return drawn.fixed[k].weight; });
        const channel_draws::fixed_term& term = drawn.fixed[chosen];
        if (queue && term.isPauli) {
            for (std::size_t i = 0; i < term.paulis.size(); ++i) {
                if (term.paulis[i] == GATE_I) continue;
                program::op gate;
                gate.gate = term.paulis[i];
                gate.qubits = {op.qubits[i]};
                queued_.ops.push_back(placement::lane_gate(gate));
            }
        } else if (queue) {
            queuedChannels_.emplace_back(queued_.ops.size(), placed.fixed[chosen].get());
        } else {
            b.touched();
            runCompiled(b.state, {stepOf(placed.fixed[chosen].get())}, false, keepGoing_);
            if (stopped_) throw run_stopped();
        }
        return;
    }
    // The remainder: its operators' probabilities are those they have on
    // this state, ||K psi||^2 = Tr(K G K^dagger), G the qubits' reduced
    // density matrix.
    if (queue) flush();
    const std::vector<std::complex<double>> g = gates::reducedDensity(b.state, placed.positions);
    const unsigned long d = 1UL << op.qubits.size();
    double total = 0;  // the branch's weight
    for (unsigned long i = 0; i < d; ++i) total += g[i * d + i].real();
    if (!(total > 0)) return;  // a branch of no weight stays as it is
    std::vector<double> weights;
    for (const auto& k : drawn.rest) {
        double w = 0;
        for (unsigned long r = 0; r < d; ++r)
            for (unsigned long i = 0; i < d; ++i)
                for (unsigned long j = 0; j < d; ++j) w += (k[r * d + i] * g[i * d + j] * std::conj(k[r * d + j])).real();
        weights.push_back(std::max(0.0, w));
    }
    std::size_t chosen =
        pickedBelow(weights.size(), (u - drawn.fixedTotal) * total, [&](std::size_t k) { return weights[k]; });
    while (weights[chosen] == 0 && chosen > 0) --chosen;  // rounding at the end of the sum
    if (weights[chosen] == 0) return;  // no operator reaches this state (rounding alone)
    std::vector<std::complex<double>> scaled = drawn.rest[chosen];
    for (auto& e : scaled) e *= std::sqrt(total / weights[chosen]);
    std::unique_ptr<gates::fused_matrix> matrix = gates::operatorOn(scaled, placed.positions);
    if (queue) {
        queuedChannels_.emplace_back(queued_.ops.size(), matrix.get());
        queuedDrawn_.push_back(std::move(matrix));
        return;
    }
    b.touched();
    runCompiled(b.state, {stepOf(matrix.get())}, false, keepGoing_);
    if (stopped_) throw run_stopped();
}

template <class Space>
const gates::fused_matrix* run<Space>::superoperatorOf(const program::kraus_channel& channel,
                                                       const std::vector<unsigned long>& qubits) {
    std::unique_ptr<gates::fused_matrix>& kept = superoperators_[{&channel, qubits}];
    if (!kept) kept = density_space::superoperator(channel.operators, qubits, qubits_);
    return kept.get();
}

template <class Space>
void run<Space>::queueReset(const program::op& op) {
    // |0><0| and |0><1|: the qubit ends in |0>, whatever it held, with no
    // branch to split (its value is no one's record).
    static const program::kraus_channel kReset{{{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}}};
    for (unsigned long q : op.qubits) {
        if (q >= qubits_) throw run_refused();
        settleMeasured({q});
        queuedChannels_.emplace_back(queued_.ops.size(), superoperatorOf(kReset, {q}));
    }
}

template <class Space>
void run<Space>::recordNoisily(std::vector<branch>& out, branch part, const std::vector<unsigned long>& bits,
                               bool outcome, std::size_t live) {
    if (bits.empty()) {
        out.push_back(std::move(part));
        return;
    }
    const unsigned long bit = bits.back();
    const std::vector<unsigned long> rest(bits.begin(), bits.end() - 1);
    const confusion error = part.noisy.at(bit);
    part.noisy.erase(bit);
    const double kept = error[2 * outcome + outcome], flipped = error[2 * outcome + !outcome];
    if (flipped > kNegligible && kept > kNegligible) {
        branch other = copyOf(part, live + 1);
        Space::weigh(other.state, flipped);
        other.touched();
        other.record.setSettled(bit, !outcome);
        recordNoisily(out, std::move(other), rest, outcome, live + 1);
    } else if (flipped > kNegligible) {
        part.record.setSettled(bit, !outcome);
        Space::weigh(part.state, flipped);
        part.touched();
        return recordNoisily(out, std::move(part), rest, outcome, live);
    }
    Space::weigh(part.state, kept);
    part.touched();
    recordNoisily(out, std::move(part), rest, outcome, live);
}

template <class Space>
typename run<Space>::branch run<Space>::copyOf(const branch& from, std::size_t live) {
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
    return branch{from.state, from.record, from.noisy};
}

// The members above, for both kinds of branch (the rest of the run is
// instantiated in branch_run.cpp).
#define KOVRA_BRANCH_NOISE(Space)                                                                          \
    template typename run<Space>::branch run<Space>::copyOf(const branch&, std::size_t);                    \
    template void run<Space>::noteReadout(branch&, const program::op&, std::size_t) const;                 \
    template void run<Space>::decideNoisy(const condition&);                                               \
    template std::vector<gates::compiled_gate> run<Space>::compileQueue(branch&) const;                    \
    template void run<Space>::channel(const program::op&);                                                 \
    template void run<Space>::drawChannels(std::uint64_t, const channel_draws::draw_table&);               \
    template void run<Space>::drawKraus(branch&, const program::op&, bool);                                \
    template const gates::fused_matrix* run<Space>::superoperatorOf(const program::kraus_channel&,           \
                                                                    const std::vector<unsigned long>&);     \
    template void run<Space>::queueReset(const program::op&);                                              \
    template void run<Space>::recordNoisily(std::vector<branch>&, branch, const std::vector<unsigned long>&, \
                                            bool, std::size_t);
KOVRA_BRANCH_NOISE(pure_states)
KOVRA_BRANCH_NOISE(density_states)
#undef KOVRA_BRANCH_NOISE

}  // namespace branch_run
