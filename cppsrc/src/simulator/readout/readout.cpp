#include "simulator/readout/readout.h"

#include "core/result.h"
#include "ir/gates.h"
#include "engine/space/key_sums.h"

#include <algorithm>
#include <cmath>

namespace readout {

namespace {

// out[key of i] += in[i] for every i, in index order.
void sumByKey(const std::vector<double>& in, const std::vector<unsigned long>& positions, std::vector<double>& out) {
    key_sums::sumByKey(in.size(), positions, 0, out, [&](unsigned long i) { return in[i]; });
}

}  // namespace

std::vector<double> registerMarginal(std::vector<double> laneProbabilities, const std::vector<unsigned long>& lanes) {
    const unsigned long laneCount = gates::qubitCount(laneProbabilities.size());
    bool identity = lanes.size() == laneCount;
    for (unsigned long k = 0; identity && k < lanes.size(); ++k) identity = lanes[k] == k;
    if (identity || laneProbabilities.empty()) return laneProbabilities;

    std::vector<unsigned long> positions;  // lane 0 is the top bit of the index
    for (unsigned long lane : lanes) positions.push_back(laneCount - 1 - lane);
    std::vector<double> out(std::size_t(1) << lanes.size(), 0.0);
    sumByKey(laneProbabilities, positions, out);
    return out;
}

std::map<std::string, double> clbitDistribution(const std::vector<double>& laneProbabilities,
                                                unsigned long laneCount,
                                                const std::vector<unsigned long>& bitLanes) {
    // Sums over the written bits only; the others are '0' in every key.
    std::vector<unsigned long> positions, written;
    for (std::size_t c = 0; c < bitLanes.size(); ++c) {
        if (bitLanes[c] >= laneCount) continue;
        positions.push_back(laneCount - 1 - bitLanes[c]);
        written.push_back(c);
    }
    std::vector<double> sums(std::size_t(1) << positions.size(), 0.0);
    sumByKey(laneProbabilities, positions, sums);

    // The shortfall of the whole distribution goes to the greatest key, never
    // the weight of the keys left out.
    std::map<std::string, double> packed;
    double total = 0;
    for (double p : sums) total += p;
    for (std::size_t key = 0; key < sums.size(); ++key) {
        if (!(std::fabs(sums[key]) > Result::kKeyFloor)) continue;
        std::string text(bitLanes.size(), '0');
        for (std::size_t w = 0; w < written.size(); ++w)
            if ((key >> (written.size() - 1 - w)) & 1) text[written[w]] = '1';
        packed.emplace(text, sums[key]);
    }
    if (std::fabs(1 - total) > Result::kKeyFloor && !packed.empty()) packed.rbegin()->second += 1 - total;
    return packed;
}

std::map<std::string, double> aboveFloor(const std::map<std::string, double>& sums) {
    std::map<std::string, double> packed;
    double total = 0;
    for (const auto& [key, p] : sums) {
        total += p;
        if (std::fabs(p) > Result::kKeyFloor) packed.emplace(key, p);
    }
    if (std::fabs(1 - total) > Result::kKeyFloor && !packed.empty()) packed.rbegin()->second += 1 - total;
    return packed;
}

}  // namespace readout
