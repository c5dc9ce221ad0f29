// How a branch run joins the branches that are one: those of the same
// record (and the same bits awaiting readout errors) whose states are
// proportional. Their mixture is one branch of their summed probability, so
// a run holds at most one branch per distinct (record, state) pair however
// many histories lead to each: a loop that measures into the same bits
// round after round stays as small as the pairs it can reach.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>

#include "engine/run/bit_mix.h"
#include "simulator/branch/branch_run.h"

namespace branch_run {

namespace {

// Two pure states are taken as proportional when |<a|b>|^2 is within this
// fraction of |a|^2 |b|^2: rounding, not physics, separates them.
constexpr double kJoinRounding = 1e-12;

// How far apart the signatures of two states that join may lie. States
// that join make an angle of at most sqrt(2 kJoinRounding) (about 1.4e-6),
// and a signature (pure_states::signature) moves by at most twice that
// angle: this is that bound with room for the rounding of the sums.
constexpr double kSignatureSlack = 4e-6;

constexpr double kHalfRange = 2147483648.0;  // 2^31: a signed 32-bit draw as a number in [-1, 1)

}  // namespace

bool pure_states::join(state_vector& kept, double keptWeight, const state_vector& other, double otherWeight) {
    std::complex<double> inner = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) inner += std::conj(kept[i]) * other[i];
    if (std::norm(inner) < keptWeight * otherWeight * (1 - kJoinRounding)) return false;
    const double scale = std::sqrt((keptWeight + otherWeight) / keptWeight);
    for (auto& a : kept) a *= scale;
    return true;
}

double pure_states::signature(const state_vector& s) {
    // |<u|s>|^2 / <s|s> for a fixed u of norm at most 1: blind to a
    // global factor, and states far apart almost surely differ in it.
    std::complex<double> projected = 0;
    double norm = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::uint64_t draw = bitMix(i);
        const std::complex<double> u(static_cast<std::int32_t>(draw) / kHalfRange,
                                     static_cast<std::int32_t>(draw >> 32) / kHalfRange);
        projected += std::conj(u) * s[i];
        norm += std::norm(s[i]);
    }
    if (norm == 0) return 0;
    return std::norm(projected) / (norm * 2.0 * static_cast<double>(s.size()));
}

bool density_states::join(state_vector& kept, double, const state_vector& other, double) {
    for (std::size_t i = 0; i < kept.size(); ++i) kept[i] += other[i];
    return true;
}

template <class Space>
void run<Space>::merge() {
    // The kept branches of one record (and noisy map), by signature: a
    // branch's candidates are those whose signature lies within the slack
    // of its own, which holds every kept branch it can join. It joins the
    // first of them in the order kept that is proportional to it, as a
    // comparison with every kept branch of its record would.
    struct group {
        std::size_t first;  // the record's first kept branch
        // Empty while that is the record's only branch: a record seen once
        // costs no signature.
        std::multimap<double, std::size_t> bySignature;
    };
    std::vector<branch> kept;
    std::vector<double> weights;
    std::vector<group> groups;
    std::unordered_multimap<std::size_t, std::size_t> groupsByHash;
    auto signatureOf = [](branch& b) {
        if (b.signature == branch::kUnread) b.signature = Space::signature(b.state);
        return b.signature;
    };
    for (branch& b : branches_) {
        if (b.weight == branch::kUnread) b.weight = Space::weight(b.state, qubits_);
        const double weight = b.weight;
        const std::size_t hash = hashOf(b);
        std::size_t g = groups.size();
        for (auto [at, end] = groupsByHash.equal_range(hash); at != end && g == groups.size(); ++at)
            if (kept[groups[at->second].first] == b) g = at->second;
        if (g == groups.size()) {
            groups.push_back(group{kept.size(), {}});
            groupsByHash.emplace(hash, g);
            kept.push_back(std::move(b));
            weights.push_back(weight);
            continue;
        }
        group& mine = groups[g];
        if (weight == 0) {
            // Adds nothing: joined to the record's first branch, as
            // proportional to any state.
            Space::join(kept[mine.first].state, weights[mine.first], b.state, weight);
            kept[mine.first].touched();
            continue;
        }
        if (mine.bySignature.empty()) mine.bySignature.emplace(signatureOf(kept[mine.first]), mine.first);
        const double signature = signatureOf(b);
        std::vector<std::size_t> candidates;
        for (auto at = mine.bySignature.lower_bound(signature - kSignatureSlack);
             at != mine.bySignature.end() && at->first <= signature + kSignatureSlack; ++at)
            candidates.push_back(at->second);
        std::sort(candidates.begin(), candidates.end());
        bool joined = false;
        for (std::size_t k : candidates) {
            if (!Space::join(kept[k].state, weights[k], b.state, weight)) continue;
            kept[k].touched();
            weights[k] += weight;
            joined = true;
            break;
        }
        if (joined) continue;
        mine.bySignature.emplace(signature, kept.size());
        kept.push_back(std::move(b));
        weights.push_back(weight);
    }
    branches_ = std::move(kept);
    recordsChanged();
    joined_ = true;
}

template <class Space>
std::size_t run<Space>::hashOf(const branch& b) {
    std::size_t hash = b.record.hash();
    for (const auto& [bit, error] : b.noisy) {
        std::uint64_t entry = bitMix(bit);
        for (double p : error) {
            std::uint64_t bits;
            std::memcpy(&bits, &p, sizeof bits);
            entry = bitMix(entry ^ bits);
        }
        hash += entry;
    }
    return hash;
}

// The members above, for both kinds of branch (the rest of the run is
// instantiated in branch_run.cpp).
template void run<pure_states>::merge();
template void run<density_states>::merge();

}  // namespace branch_run
