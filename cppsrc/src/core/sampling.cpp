#include "core/sampling.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace sampling {

namespace {

// Rounding in the simulator or the device can leave tiny negative entries;
// they weigh nothing. Anything further below zero is a broken vector.
constexpr double kNegativeTolerance = 1e-10;

double weight(double p) { return p > 0 ? p : 0.0; }

// The total weight, summed in index order as the sweep below sums it, so a
// target below the total always lands on an index.
double checked_total(const std::vector<double>& probabilities, std::int64_t shots) {
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

std::size_t chunk_size(std::size_t outcomes) {
    // Shot positions within a chunk are 32-bit.
    return std::clamp<std::size_t>(outcomes, std::size_t{1} << 20, std::size_t{1} << 31);
}

std::map<std::uint64_t, std::int64_t> counts(const std::vector<double>& probabilities, std::int64_t shots,
                                             const uniform_source& uniforms) {
    const double total = checked_total(probabilities, shots);
    std::map<std::uint64_t, std::int64_t> counted;
    chunks(probabilities.size(), shots, uniforms, [&](std::int64_t, std::vector<double>& drawn) {
        std::sort(drawn.begin(), drawn.end());
        // Outcomes come in ascending order: each is found from the last one.
        auto hint = counted.begin();
        sweep(probabilities, total, drawn.size(), [&](std::size_t i) { return drawn[i]; },
              [&](std::size_t, std::uint64_t outcome) {
                  if (hint == counted.end() || hint->first != outcome) {
                      hint = counted.lower_bound(outcome);
                      if (hint == counted.end() || hint->first != outcome) hint = counted.emplace_hint(hint, outcome, 0);
                  }
                  ++hint->second;
              });
    });
    return counted;
}

std::vector<std::uint64_t> memory(const std::vector<double>& probabilities, std::int64_t shots,
                                  const uniform_source& uniforms) {
    const double total = checked_total(probabilities, shots);
    std::vector<std::uint64_t> outcomes(static_cast<std::size_t>(shots));
    std::vector<std::uint32_t> order;
    chunks(probabilities.size(), shots, uniforms, [&](std::int64_t first, const std::vector<double>& drawn) {
        order.resize(drawn.size());
        std::iota(order.begin(), order.end(), 0U);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return drawn[a] < drawn[b]; });
        sweep(probabilities, total, drawn.size(), [&](std::size_t i) { return drawn[order[i]]; },
              [&](std::size_t i, std::uint64_t outcome) {
                  outcomes[static_cast<std::size_t>(first) + order[i]] = outcome;
              });
    });
    return outcomes;
}

}  // namespace sampling
