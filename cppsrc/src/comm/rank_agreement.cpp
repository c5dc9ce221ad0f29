#include "comm/rank_agreement.h"

#include <cstdio>
#include <map>

namespace rank_agreement {

namespace {

constexpr std::uint64_t FNV_PRIME = 0x100000001b3ULL;
// Groups of ranks with one digest named in a disagreement; the others are
// counted.
constexpr std::size_t NAMED_GROUPS = 4;

// "rank 3", "ranks 0 and 2", "ranks 0, 1 and 5".
std::string rankList(const std::vector<int>& ranks) {
    std::string text = ranks.size() == 1 ? "rank " : "ranks ";
    for (std::size_t k = 0; k < ranks.size(); ++k) {
        if (k > 0) text += k + 1 == ranks.size() ? " and " : ", ";
        text += std::to_string(ranks[k]);
    }
    return text;
}

}  // namespace

digest& digest::bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) {
        state ^= p[k];
        state *= FNV_PRIME;
    }
    return *this;
}

std::uint64_t programDigest(const std::vector<gates::compiled_gate>& program) {
    digest d;
    d.add(program.size());
    for (const gates::compiled_gate& g : program) {
        d.add(g.kind).add(g.target).add(g.mask).add(g.zeros).add(g.confined);
        for (const std::complex<double>& m : g.m) d.add(m.real()).add(m.imag());
    }
    return d.value();
}

std::string hex(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool allFailed(const std::vector<rank_comm::rank_verdict>& verdicts) {
    for (const rank_comm::rank_verdict& v : verdicts)
        if (!v.failed) return false;
    return true;
}

void settle(const std::vector<rank_comm::rank_verdict>& verdicts) {
    std::vector<int> failed;
    for (std::size_t r = 0; r < verdicts.size(); ++r)
        if (verdicts[r].failed) failed.push_back(static_cast<int>(r));
    if (!failed.empty()) {
        std::string message = "rank " + std::to_string(failed[0]) + " failed: " + verdicts[failed[0]].text;
        if (failed.size() > 1) {
            failed.erase(failed.begin());
            message += " (" + rankList(failed) + " failed too)";
        }
        throw rank_failed(message);
    }

    // Ranks grouped by digest, in the order of each group's first rank.
    std::map<std::uint64_t, std::size_t> groupOf;
    std::vector<std::vector<int>> groups;
    for (std::size_t r = 0; r < verdicts.size(); ++r) {
        auto found = groupOf.emplace(verdicts[r].digest, groups.size());
        if (found.second) groups.emplace_back();
        groups[found.first->second].push_back(static_cast<int>(r));
    }
    if (groups.size() <= 1) return;
    std::string message = "ranks disagree on the circuit: ";
    for (std::size_t k = 0; k < groups.size() && k < NAMED_GROUPS; ++k) {
        const rank_comm::rank_verdict& v = verdicts[static_cast<std::size_t>(groups[k][0])];
        if (k > 0) message += "; ";
        message += rankList(groups[k]) + (groups[k].size() == 1 ? " has " : " have ") + v.text;
    }
    if (groups.size() > NAMED_GROUPS)
        message += "; and " + std::to_string(groups.size() - NAMED_GROUPS) + " more different circuits";
    throw ranks_disagree(message);
}

}  // namespace rank_agreement
