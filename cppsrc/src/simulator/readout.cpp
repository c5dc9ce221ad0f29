#include "simulator/readout.h"

#include <algorithm>
#include <cmath>

namespace readout {

namespace {

// The bits of index i at `positions`, the first position the top bit.
std::size_t gather(std::size_t i, const std::vector<unsigned long>& positions) {
    std::size_t key = 0;
    for (unsigned long p : positions) key = (key << 1) | ((i >> p) & 1);
    return key;
}

// out[gather(i)] += in[i] for every i, in index order. The key of an index
// is its low byte's part (a table) or'ed with the rest's (once per 256).
void sumByKey(const std::vector<double>& in, const std::vector<unsigned long>& positions, std::vector<double>& out) {
    std::size_t low[256];
    for (std::size_t b = 0; b < 256; ++b) low[b] = gather(b, positions);
    for (std::size_t block = 0; block < in.size(); block += 256) {
        const std::size_t high = gather(block, positions);
        const std::size_t end = std::min<std::size_t>(in.size(), block + 256);
        for (std::size_t i = block; i < end; ++i) out[high | low[i - block]] += in[i];
    }
}

}  // namespace

std::vector<double> registerMarginal(std::vector<double> laneProbabilities, const std::vector<unsigned long>& lanes) {
    const unsigned long laneCount = static_cast<unsigned long>(std::log2(static_cast<double>(laneProbabilities.size())));
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

    std::map<std::string, double> packed;
    double total = 0;
    for (std::size_t key = 0; key < sums.size(); ++key) {
        if (!(std::fabs(sums[key]) > 1e-10)) continue;
        std::string text(bitLanes.size(), '0');
        for (std::size_t w = 0; w < written.size(); ++w)
            if ((key >> (written.size() - 1 - w)) & 1) text[written[w]] = '1';
        packed.emplace(text, sums[key]);
        total += sums[key];
    }
    if (std::fabs(1 - total) > 1e-10 && !packed.empty()) packed.rbegin()->second += 1 - total;
    return packed;
}

}  // namespace readout
