#include "engine/space/amplitude_draws.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>

#include "engine/fusion/gate_runs.h"
#include "ir/gates.h"
#include "engine/parallel/share_out.h"

namespace amplitude_draws {

namespace {

// splitmix64's constants.
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kMixFirst = 0xBF58476D1CE4E5B9ULL;
constexpr std::uint64_t kMixSecond = 0x94D049BB133111EBULL;

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * kMixFirst;
    z = (z ^ (z >> 27)) * kMixSecond;
    return z ^ (z >> 31);
}

// 53 random bits as a double in [0, 1).
constexpr double kUnitLast = 0x1.0p-53;
constexpr unsigned kDoubleShift = 11;

// The last index of [begin, end) with a positive weight, or `end - 1`:
// where a number rounded up to the block's whole weight lands.
template <class T>
std::size_t lastPositive(const state_space::amplitudes<T>& slice, std::size_t begin, std::size_t end) {
    for (std::size_t k = end; k > begin; --k)
        if (state_space::squaredMagnitude(slice[k - 1]) > 0) return k - 1;
    return end - 1;
}

// The outcomes of `count` shots in the block [begin, end) of weight
// `weight`: the sorted numbers' shares of the weight against the running
// sum, summed as blockWeights summed it, so a share below the weight lands
// inside the block. Appends (slice index + indexOffset, shots) in order.
template <class T>
void drawBlock(const state_space::amplitudes<T>& slice, std::size_t begin, std::size_t end, double weight,
               std::int64_t count, std::uint64_t seed, std::uint64_t indexOffset, outcome_counts& out) {
    std::vector<double> numbers(static_cast<std::size_t>(count));
    generator numbersOf(seed);
    for (double& u : numbers) u = numbersOf.uniform();
    std::sort(numbers.begin(), numbers.end());
    const std::size_t fallback = lastPositive(slice, begin, end);
    std::size_t k = begin;
    double sum = 0.0;
    for (double u : numbers) {
        const double target = u * weight;
        while (k < end) {
            const double p = state_space::squaredMagnitude(slice[k]);
            if (sum + p > target) break;
            sum += p;
            ++k;
        }
        const std::uint64_t outcome = (k < end ? k : fallback) + indexOffset;
        if (!out.empty() && out.back().first == outcome)
            ++out.back().second;
        else
            out.emplace_back(outcome, 1);
    }
}

std::vector<double> suffixSums(const std::vector<double>& weights) {
    std::vector<double> suffix(weights.size() + 1, 0.0);
    for (std::size_t b = weights.size(); b-- > 0;) {
        if (!std::isfinite(weights[b]) || weights[b] < 0)
            throw std::invalid_argument("the state's weight in block " + std::to_string(b) + " is " +
                                        std::to_string(weights[b]) + ": cannot draw shots from it");
        suffix[b] = weights[b] + suffix[b + 1];
    }
    return suffix;
}

}  // namespace

std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream) { return mix(seed + kGolden * (stream + 1)); }

generator::result_type generator::operator()() { return mix(state_ += kGolden); }

double generator::uniform() { return static_cast<double>((*this)() >> kDoubleShift) * kUnitLast; }

unsigned long blockBits(unsigned long qubits, unsigned long localBits) {
    const unsigned long even = qubits > kBlockCountBits ? qubits - kBlockCountBits : 0;
    return std::min(std::max(even, kMinBlockBits), localBits);
}

template <class T>
std::vector<double> blockWeights(const state_space::amplitudes<T>& slice, unsigned long blockBits) {
    const std::size_t size = std::size_t{1} << blockBits;
    std::vector<double> weights(slice.size() / size, 0.0);
    gates::shareOut(weights.size(), gates::workerCount(slice.size()), [&](unsigned long first, unsigned long last) {
        for (unsigned long b = first; b < last; ++b) {
            double sum = 0.0;
            for (std::size_t k = b * size; k < (b + 1) * size; ++k) sum += state_space::squaredMagnitude(slice[k]);
            weights[b] = sum;
        }
    });
    return weights;
}

std::vector<std::int64_t> blockShots(const std::vector<double>& weights, std::int64_t shots, std::uint64_t seed) {
    if (shots < 0) throw std::invalid_argument("shots must not be negative, got " + std::to_string(shots));
    const std::vector<double> suffix = suffixSums(weights);
    if (shots > 0 && !(suffix[0] > 0)) throw std::invalid_argument("the state has no weight to draw shots from");
    std::vector<std::int64_t> out(weights.size(), 0);
    generator shares(streamSeed(seed, kShareStream));
    std::int64_t remaining = shots;
    // Each block takes its binomial share of the shots the blocks after it
    // have not: the last block with weight takes all that are left.
    for (std::size_t b = 0; b < weights.size() && remaining > 0; ++b) {
        if (!(weights[b] > 0)) continue;
        const double p = weights[b] / suffix[b];
        out[b] = p >= 1 ? remaining : std::binomial_distribution<std::int64_t>(remaining, p)(shares);
        remaining -= out[b];
    }
    return out;
}

template <class T>
outcome_counts drawInSlice(const state_space::amplitudes<T>& slice, unsigned long blockBits,
                           const std::vector<double>& weights, const std::vector<std::int64_t>& shots,
                           std::size_t firstBlock, std::uint64_t seed) {
    const std::size_t size = std::size_t{1} << blockBits, blocks = slice.size() / size;
    const std::uint64_t offset = static_cast<std::uint64_t>(firstBlock) << blockBits;
    std::vector<outcome_counts> perBlock(blocks);
    gates::shareOut(blocks, gates::workerCount(slice.size()), [&](unsigned long first, unsigned long last) {
        for (unsigned long b = first; b < last; ++b) {
            const std::size_t global = firstBlock + b;
            if (shots[global] > 0)
                drawBlock(slice, b * size, (b + 1) * size, weights[global], shots[global], streamSeed(seed, global),
                          offset, perBlock[b]);
        }
    });
    outcome_counts out;
    for (outcome_counts& block : perBlock) out.insert(out.end(), block.begin(), block.end());
    return out;
}

template <class T>
outcome_counts draw(const state_space::amplitudes<T>& state, std::int64_t shots, std::uint64_t seed) {
    const unsigned long qubits = gates::qubitCount(state.size());
    const unsigned long bits = blockBits(qubits, qubits);
    const std::vector<double> weights = blockWeights(state, bits);
    return drawInSlice(state, bits, weights, blockShots(weights, shots, seed), 0, seed);
}

// Both precisions, built here once.
#define KOVRA_AMPLITUDE_DRAWS(T)                                                                                      \
    template std::vector<double> blockWeights<T>(const state_space::amplitudes<T>&, unsigned long);                   \
    template outcome_counts drawInSlice<T>(const state_space::amplitudes<T>&, unsigned long,                          \
                                           const std::vector<double>&, const std::vector<std::int64_t>&, std::size_t, \
                                           std::uint64_t);                                                            \
    template outcome_counts draw<T>(const state_space::amplitudes<T>&, std::int64_t, std::uint64_t);
KOVRA_AMPLITUDE_DRAWS(double)
KOVRA_AMPLITUDE_DRAWS(float)
#undef KOVRA_AMPLITUDE_DRAWS

}  // namespace amplitude_draws
