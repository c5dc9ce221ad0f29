#include "core/sampling.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

namespace sampling {

namespace {

// Rounding in the simulator or the device can leave tiny negative entries;
// they weigh nothing. Anything further below zero is a broken vector.
constexpr double kNegativeTolerance = 1e-10;

double weight(double p) { return p > 0 ? p : 0.0; }

std::uint64_t last_positive(const std::vector<double>& probabilities) {
    std::size_t k = probabilities.size();
    while (k > 0 && !(probabilities[k - 1] > 0)) --k;
    return k - 1;
}

// One pass over the vector for the shots of a chunk, taken in ascending
// order of their uniform numbers: the outcome of a shot is the first index
// whose running sum exceeds its share of the total. Sorting the shots
// instead of searching a cumulative table keeps the memory beside the
// vector at one chunk and every read of the vector sequential.
// `uniform_of(i)` is the i-th smallest number of the chunk.
template <class UniformOf, class Visit>
void sweep(const std::vector<double>& probabilities, double total, std::size_t n, UniformOf uniform_of,
           Visit visit) {
    const std::uint64_t fallback = last_positive(probabilities);
    std::size_t k = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double target = uniform_of(i) * total;
        while (k < probabilities.size() && sum + weight(probabilities[k]) <= target) sum += weight(probabilities[k++]);
        visit(i, k < probabilities.size() ? k : fallback);
    }
}

// Calls `chunk_done(first shot, uniform numbers)` for each chunk of shots.
template <class ChunkDone>
void chunks(std::size_t outcomes, std::int64_t shots, const uniform_source& uniforms, ChunkDone chunk_done) {
    const std::size_t chunk = chunk_size(outcomes);
    std::vector<double> drawn;
    for (std::int64_t first = 0; first < shots; first += static_cast<std::int64_t>(chunk)) {
        drawn.resize(static_cast<std::size_t>(std::min<std::int64_t>(shots - first, static_cast<std::int64_t>(chunk))));
        uniforms(drawn.data(), drawn.size());
        chunk_done(first, drawn);
    }
}

}  // namespace

// The total weight, summed in index order as the sweep below sums it, so a
// target below the total always lands on an index.
double total_weight(const std::vector<double>& probabilities, std::int64_t shots) {
    if (shots < 0) throw std::invalid_argument("shots must not be negative, got " + std::to_string(shots));
    double total = 0.0;
    for (std::size_t k = 0; k < probabilities.size(); ++k) {
        const double p = probabilities[k];
        if (!std::isfinite(p) || p < -kNegativeTolerance) {
            throw std::invalid_argument("probability of outcome " + std::to_string(k) + " is " +
                                        std::to_string(p) + ": cannot sample from it");
        }
        total += weight(p);
    }
    if (shots > 0 && !(total > 0)) throw std::invalid_argument("no outcome has a positive probability to sample");
    return total;
}

std::size_t chunk_size(std::size_t outcomes) {
    // Shot positions within a chunk are 32-bit.
    return std::clamp<std::size_t>(outcomes, std::size_t{1} << 20, std::size_t{1} << 31);
}

std::vector<std::pair<std::uint64_t, std::int64_t>> counts(const std::vector<double>& probabilities,
                                                           std::int64_t shots, const uniform_source& uniforms) {
    const double total = total_weight(probabilities, shots);
    std::vector<std::pair<std::uint64_t, std::int64_t>> counted;
    bool several_chunks = false;
    chunks(probabilities.size(), shots, uniforms, [&](std::int64_t first, std::vector<double>& drawn) {
        if (first > 0) several_chunks = true;
        std::sort(drawn.begin(), drawn.end());
        // Within a chunk the outcomes come in ascending order: equal ones
        // are neighbours.
        const std::size_t chunk_start = counted.size();
        sweep(probabilities, total, drawn.size(), [&](std::size_t i) { return drawn[i]; },
              [&](std::size_t, std::uint64_t outcome) {
                  if (counted.size() > chunk_start && counted.back().first == outcome)
                      ++counted.back().second;
                  else
                      counted.emplace_back(outcome, 1);
              });
    });
    if (!several_chunks) return counted;
    std::sort(counted.begin(), counted.end());
    std::vector<std::pair<std::uint64_t, std::int64_t>> merged;
    for (const auto& run : counted) {
        if (!merged.empty() && merged.back().first == run.first)
            merged.back().second += run.second;
        else
            merged.push_back(run);
    }
    return merged;
}

std::vector<std::uint64_t> memory(const std::vector<double>& probabilities, std::int64_t shots,
                                  const uniform_source& uniforms) {
    const double total = total_weight(probabilities, shots);
    std::vector<std::uint64_t> outcomes(static_cast<std::size_t>(shots));
    // (number, shot) pairs sort in contiguous memory, faster than shot
    // positions compared through the numbers.
    std::vector<std::pair<double, std::uint32_t>> order;
    chunks(probabilities.size(), shots, uniforms, [&](std::int64_t first, const std::vector<double>& drawn) {
        order.resize(drawn.size());
        for (std::size_t i = 0; i < drawn.size(); ++i) order[i] = {drawn[i], static_cast<std::uint32_t>(i)};
        std::sort(order.begin(), order.end());
        sweep(probabilities, total, order.size(), [&](std::size_t i) { return order[i].first; },
              [&](std::size_t i, std::uint64_t outcome) {
                  outcomes[static_cast<std::size_t>(first) + order[i].second] = outcome;
              });
    });
    return outcomes;
}

}  // namespace sampling
