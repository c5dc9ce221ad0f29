#include "comm/distributed_run.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <type_traits>
#include <utility>

#include "comm/rank_agreement.h"
#include "comm/spread_draws.h"


namespace {

using clock_type = std::chrono::steady_clock;
constexpr unsigned long NEVER = std::numeric_limits<unsigned long>::max();

// The gate as this rank applies it to its slice, in physical local
// positions; false when a control on a rank position rules this rank out.
template <class T>
bool localise(const basic_distributed_state<T>& state, const gates::compiled_gate& gate, gates::compiled_gate& out) {
    out = gate;
    out.mask = 0;
    out.zeros = 0;
    const auto place = [&](unsigned long logicalMask, unsigned long& localMask, bool required) {
        for (unsigned long m = logicalMask; m; m &= m - 1) {
            const unsigned long p = state.physical(static_cast<unsigned long>(__builtin_ctzl(m)));
            if (!state.isRankPosition(p))
                localMask |= 1UL << p;
            else if (state.rankBit(p) != required)
                return false;
        }
        return true;
    };
    if (!place(gate.mask, out.mask, true) || !place(gate.zeros, out.zeros, false)) return false;
    if (gate.isPair()) out.target = state.physical(gate.target);
    return true;
}

// Whether the gate mixes the two amplitudes of its target, which must then
// be local. A diagonal pair gate only scales each of them.
bool mixesTarget(const gates::compiled_gate& gate) {
    return gate.isPair() && gate.kind != gates::compiled_gate::PAIR_DIAG;
}

// A diagonal gate whose target sits on a rank position, as this rank
// applies it: one phase on the whole rank, m0 where the bit is 0 and m1
// where it is 1 (the product of the pair update, so the same rounding).
template <class T>
gates::compiled_gate rankPhase(const basic_distributed_state<T>& state, const gates::compiled_gate& gate) {
    gates::compiled_gate phase = gate;
    phase.kind = gates::compiled_gate::UPPER_PHASE;
    phase.m[0] = state.rankBit(state.physical(gate.target)) ? gate.m[1] : gate.m[0];
    return phase;
}

// For every gate, the index of the next gate with the same target (NEVER
// when none), so that the furthest next use of each qubit is at hand.
std::vector<unsigned long> nextTargetUse(const std::vector<gates::compiled_gate>& gates,
                                         std::vector<unsigned long>& firstUse) {
    std::vector<unsigned long> next(gates.size(), NEVER);
    for (std::size_t i = gates.size(); i-- > 0;) {
        if (!mixesTarget(gates[i])) continue;
        next[i] = firstUse[gates[i].target];
        firstUse[gates[i].target] = i;
    }
    return next;
}

// The local position whose qubit is next needed as a target furthest ahead
// (the highest such position among ties): the cheapest to park on a rank
// position.
template <class T>
unsigned long leastWanted(const basic_distributed_state<T>& state, const std::vector<unsigned long>& upcoming) {
    unsigned long best = state.localBits() - 1;
    for (unsigned long p = state.localBits(); p-- > 0;)
        if (upcoming[state.logical(p)] > upcoming[state.logical(best)]) best = p;
    return best;
}

std::mutex reportLock;
distributed_report lastReport;

}  // namespace

template <class T>
void runSpread(basic_distributed_state<T>& state, const std::vector<gates::compiled_gate>& gates, bool fuse,
               distributed_report& report) {
    const unsigned long long sliceBytes =
        static_cast<unsigned long long>(state.slice().size()) * sizeof(std::complex<T>);
    unsigned long long pairwise = 0;
    std::vector<unsigned long> upcoming(state.localBits() + state.rankBits(), NEVER);
    const std::vector<unsigned long> next = nextTargetUse(gates, upcoming);

    std::vector<gates::compiled_gate> stretch;
    const auto flush = [&] {
        if (stretch.empty()) return;
        const auto start = clock_type::now();
        report.passes += runCompiled(state.slice(), stretch, fuse);
        report.computeSeconds += std::chrono::duration<double>(clock_type::now() - start).count();
        stretch.clear();
    };
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const gates::compiled_gate& gate = gates[i];
        gates::compiled_gate local;
        if (gate.kind == gates::compiled_gate::PAIR_DIAG && state.isRankPosition(state.physical(gate.target))) {
            if (localise(state, rankPhase(state, gate), local)) stretch.push_back(local);
            continue;
        }
        if (mixesTarget(gate)) {
            upcoming[gate.target] = next[i];
            if (state.isRankPosition(gate.target)) pairwise += sliceBytes;
            const unsigned long at = state.physical(gate.target);
            if (state.isRankPosition(at)) {
                flush();
                state.swapRankAndLocal(at, leastWanted(state, upcoming));
            }
        }
        if (localise(state, gate, local)) stretch.push_back(local);
    }
    flush();
    report.pairwiseBytes = pairwise;
}

template <class T>
basic_distributed_sliced_run<T>::basic_distributed_sliced_run(op_list ops, const rank_comm::world_info& world,
                                                              fusion_choice fusion)
    : source(std::move(ops)), fusion(fusion), state(source.qubits, world), measurements(source.qubits, source.clbits) {
    costs.ranks = world.size;
    costs.localQubits = state.localBits();
}

template <class T>
std::uint64_t basic_distributed_sliced_run<T>::compile() {
    // Compiled whole before the first exchange: the ranks can then compare
    // what they compiled, and a refusal leaves no rank waiting for a partner.
    if (!compiled) {
        program = compileSliced(source, measurements);
        compiled = true;
    }
    return rank_agreement::programDigest(program);
}

template <class T>
void basic_distributed_sliced_run<T>::execute() {
    compile();
    // As in basic_sliced_run: a float run has no exact result to keep.
    const bool fuse = std::is_same_v<T, float> ? fusion != fusion_choice::off : fusesAt(fusion, source.qubits);
    runSpread(state, program, fuse, costs);
    program.clear();
    publish();
}

template <class T>
void basic_distributed_sliced_run<T>::inLogicalOrder() {
    state.restoreLogicalOrder();
    publish();
}

template <class T>
void basic_distributed_sliced_run<T>::publish() {
    costs.exchanges = state.stats();
    const std::lock_guard<std::mutex> hold(reportLock);
    lastReport = costs;
}

template <class T>
std::vector<double> basic_distributed_sliced_run<T>::marginal(const std::vector<unsigned long>& lanes) {
    const unsigned long qubits = source.qubits;
    bool everyLane = lanes.size() == qubits;
    for (unsigned long k = 0; everyLane && k < lanes.size(); ++k) everyLane = lanes[k] == k;
    if (everyLane) {
        inLogicalOrder();
        return rank_comm::gatherAll(state_space::probabilities(state.slice()));
    }

    // Read through the qubit map: a sum over a few qubits needs no data
    // moved back into logical order. Each rank sums its own indices, then
    // the ranks add their sums.
    std::vector<unsigned long> positions;  // lane 0 is the top bit of the index
    for (unsigned long lane : lanes) positions.push_back(state.physical(qubits - 1 - lane));
    const unsigned long offset = static_cast<unsigned long>(state.rankNumber()) << state.localBits();
    std::vector<double> out = state_space::marginal(state.slice(), positions, offset);
    rank_comm::sumAll(out);
    return out;
}

template <class T>
amplitude_draws::outcome_counts basic_distributed_sliced_run<T>::draw(std::int64_t shots, std::uint64_t seed) {
    // Slices in logical order are consecutive stretches of the whole
    // vector: its blocks, and so its draws, are the whole vector's.
    inLogicalOrder();
    return amplitude_draws::drawSpread(state.slice(), source.qubits, shots, seed);
}

template <class T>
std::vector<double> basic_distributed_sliced_run<T>::expectations(const std::vector<pauli_sums::observable>& observables) {
    inLogicalOrder();
    const unsigned long local = state.localBits(), mask = (1UL << local) - 1;
    const int rank = state.rankNumber();
    const unsigned long offset = static_cast<unsigned long>(rank) << local;
    // Terms by the rank positions they flip; every rank sees the same
    // observables, so every rank makes the same exchanges in the same order.
    std::map<unsigned long, std::vector<std::pair<std::size_t, pauli_sums::term>>> byRankFlip;
    for (std::size_t o = 0; o < observables.size(); ++o) {
        for (const pauli_sums::term& t : observables[o]) byRankFlip[(t.x | t.y) >> local].emplace_back(o, t);
    }
    std::vector<double> sums(2 * observables.size() + 1, 0.0);  // re and im per observable, then the norm
    sums.back() = state_space::squaredNorm(state.slice());
    state_space::amplitudes<T> partner;
    for (const auto& [rankFlip, terms] : byRankFlip) {
        std::vector<pauli_sums::term> cut;
        for (const auto& entry : terms) {
            // On rank positions the flip is the partner slice's: what stays
            // of a Y there is its sign, which a Z gives.
            pauli_sums::term t = entry.second;
            t.x &= mask;
            t.y &= mask;
            t.z = entry.second.z | (entry.second.y & ~mask);
            cut.push_back(t);
        }
        const state_space::amplitudes<T>* source = &state.slice();
        if (rankFlip != 0) {
            partner.resize(state.slice().size());
            const int other = rank ^ static_cast<int>(rankFlip);
            const std::size_t chunk = std::size_t(1) << 24;
            for (std::size_t at = 0; at < partner.size(); at += chunk) {
                const std::size_t count = std::min(chunk, partner.size() - at);
                rank_comm::exchange(state.slice().data() + at, partner.data() + at, count, other);
            }
            source = &partner;
        }
        const std::vector<std::complex<double>> part = pauli_sums::slice_sums(state.slice(), *source, offset, cut);
        for (std::size_t k = 0; k < terms.size(); ++k) {
            const pauli_sums::term& t = terms[k].second;
            const std::complex<double> value = pauli_sums::y_factor(t) * part[k] * t.coefficient;
            sums[2 * terms[k].first] += value.real();
            sums[2 * terms[k].first + 1] += value.imag();
        }
    }
    rank_comm::sumAll(sums);
    std::vector<double> values(observables.size(), 0.0);
    if (sums.back() == 0) return values;
    // <psi|P|psi> is real for a Hermitian P: the imaginary part is rounding.
    for (std::size_t o = 0; o < observables.size(); ++o) values[o] = sums[2 * o] / sums.back();
    return values;
}

template <class T>
state_space::amplitudes<T> basic_distributed_sliced_run<T>::gatherStateVector() {
    if (measurements.anyMeasured()) return {};
    inLogicalOrder();
    state_space::amplitudes<T> whole = rank_comm::gatherAll(state.slice());
    state_space::normalise(whole);
    return whole;
}

template <class T>
state_space::amplitudes<T> basic_distributed_sliced_run<T>::takeLocalSlice() {
    if (measurements.anyMeasured()) return {};
    inLogicalOrder();
    state_space::amplitudes<T> slice = std::move(state.slice());
    state.slice().clear();
    // The norm of the whole vector, to the last bit: each slice is a whole
    // subtree of its sum, and the ranks' sums are added as the tree adds them.
    const std::vector<double> sums = rank_comm::gatherAll(std::vector<double>{state_space::squaredNorm(slice)});
    state_space::divideBy(slice, std::sqrt(state_space::combineSums(sums)));
    return slice;
}

template void runSpread(basic_distributed_state<double>&, const std::vector<gates::compiled_gate>&, bool,
                        distributed_report&);
template void runSpread(basic_distributed_state<float>&, const std::vector<gates::compiled_gate>&, bool,
                        distributed_report&);
template class basic_distributed_sliced_run<double>;
template class basic_distributed_sliced_run<float>;

distributed_report lastDistributedReport() {
    const std::lock_guard<std::mutex> hold(reportLock);
    return lastReport;
}
