#include "simulator/readout/shot_keys.h"

#include <algorithm>
#include <random>
#include <string>
#include <utility>

#include "core/sampling.h"
#include "core/memory_budget.h"

namespace shot_keys {

namespace {

// What one shot holds at most while drawn (every shot a distinct outcome):
// its uniform number, an (outcome, shots) pair, the outcome's key and its
// entry in Result.counts; with memory, its key's index and its copy of the
// key in Result.memory_keys.
constexpr double kBytesPerDrawnShot = sizeof(double) + sizeof(std::uint64_t) + sizeof(std::int64_t);
constexpr double kBytesPerMapNode = 48;  // a std::map node's links and colour, and the int
constexpr double kBytesPerRememberedShot = sizeof(std::uint32_t);

// The key of a lane index: character c reads lane keyLanes[c].
std::string key_of(std::uint64_t index, const drawn_shots& drawn) {
    std::string key(drawn.keyLanes.size(), '0');
    for (std::size_t c = 0; c < key.size(); ++c) {
        const unsigned long lane = drawn.keyLanes[c];
        if (lane < drawn.lanes && ((index >> (drawn.lanes - 1 - lane)) & 1)) key[c] = '1';
    }
    return key;
}

// Fills Result.counts with the shots of each outcome under its key (several
// outcomes may share one: the lanes the key leaves out). With `place`,
// returns there each outcome's index into the ascending keys, which
// become Result.memory_keys.
void count_keys(Result& result, const std::vector<std::string>& keys, const std::vector<std::int64_t>& shots,
                std::vector<std::uint32_t>* place) {
    result.counts.clear();
    result.memory_keys.clear();
    // The shots of a result are an int: so is every sum of counts.
    for (std::size_t i = 0; i < keys.size(); ++i) result.counts[keys[i]] += static_cast<int>(shots[i]);
    if (!place) return;
    for (const auto& entry : result.counts) result.memory_keys.push_back(entry.first);
    place->resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto at = std::lower_bound(result.memory_keys.begin(), result.memory_keys.end(), keys[i]);
        (*place)[i] = static_cast<std::uint32_t>(at - result.memory_keys.begin());
    }
}

// Fisher-Yates from its own stream of the seed: the draws come sorted by
// outcome, and each shot's place in the order is drawn apart from them.
void shuffle(std::vector<std::uint32_t>& shots, std::uint64_t seed) {
    amplitude_draws::generator order(amplitude_draws::streamSeed(seed, amplitude_draws::kOrderStream));
    for (std::size_t i = shots.size(); i > 1; --i) {
        const std::size_t j = std::uniform_int_distribution<std::size_t>(0, i - 1)(order);
        std::swap(shots[i - 1], shots[j]);
    }
}

sampling::uniform_source uniforms_of(amplitude_draws::generator& numbers) {
    return [&numbers](double* buffer, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) buffer[i] = numbers.uniform();
    };
}

}  // namespace

double draw_bytes(std::int64_t shots, bool memory, std::size_t keyWidth) {
    const double key = sizeof(std::string) + static_cast<double>(keyWidth);
    const double each =
        kBytesPerDrawnShot + 2 * key + kBytesPerMapNode + (memory ? kBytesPerRememberedShot + key : 0.0);
    return static_cast<double>(std::max<std::int64_t>(shots, 0)) * each;
}

std::size_t key_width(const std::vector<int>* clbits, const std::set<int>& mqubits, int qnum) {
    if (clbits) return clbits->size();
    return mqubits.empty() ? static_cast<std::size_t>(std::max(qnum, 0)) : mqubits.size();
}

std::vector<unsigned long> qubit_key_lanes(const std::vector<unsigned long>& registerLanes,
                                           const std::set<int>& mqubits) {
    if (mqubits.empty()) return registerLanes;
    std::vector<unsigned long> lanes;
    for (int q : mqubits)
        if (q >= 0 && static_cast<std::size_t>(q) < registerLanes.size()) lanes.push_back(registerLanes[q]);
    return lanes;
}

void fill(Result& result, const drawn_shots& drawn, bool memory, std::uint64_t seed) {
    std::vector<std::string> keys;
    std::vector<std::int64_t> shots;
    keys.reserve(drawn.outcomes.size());
    shots.reserve(drawn.outcomes.size());
    for (const auto& [index, count] : drawn.outcomes) {
        keys.push_back(key_of(index, drawn));
        shots.push_back(count);
    }
    std::vector<std::uint32_t> place;
    count_keys(result, keys, shots, memory ? &place : nullptr);
    result.memory_shots.clear();
    if (!memory) return;
    for (std::size_t i = 0; i < place.size(); ++i)
        result.memory_shots.insert(result.memory_shots.end(), static_cast<std::size_t>(shots[i]), place[i]);
    shuffle(result.memory_shots, seed);
}

void draw_from_distribution(Result& result, std::int64_t shots, bool memory, std::uint64_t seed) {
    // A run keyed by qubits leaves its dense vector; one keyed by classical
    // bits its keys alone, which may be too wide for a dense vector.
    std::vector<std::string> keyed;
    std::vector<double> keyedWeights;
    shared_vector<double> dense;
    unsigned long width = 0;
    if (result.has_dense()) {
        dense = result.probability_vector();
        width = result.key_width();
    } else {
        for (const auto& [key, p] : result.probabilities()) {
            keyed.push_back(key);
            keyedWeights.push_back(p);
        }
    }
    const std::vector<double>& weights = dense ? *dense : keyedWeights;
    result.set_probabilities({});
    result.probability_errors.clear();
    if (weights.empty()) return;  // a run of no sub-circuit has no outcome to draw
    const memory_budget::reservation held =
        memory_budget::reserve(draw_bytes(shots, memory, dense ? width : keyed.front().size()),
                               "the draws of " + std::to_string(shots) + " shots");
    const auto text = [&](std::uint64_t k) { return dense ? result.to_string(static_cast<long>(k), width) : keyed[k]; };

    amplitude_draws::generator numbers(amplitude_draws::streamSeed(seed, amplitude_draws::kShareStream));
    std::vector<std::string> keys;
    std::vector<std::int64_t> counts;
    if (!memory) {
        for (const auto& [k, count] : sampling::counts(weights, shots, uniforms_of(numbers))) {
            keys.push_back(text(k));
            counts.push_back(count);
        }
        count_keys(result, keys, counts, nullptr);
    } else {
        // Drawn in order already: the shots keep it.
        const std::vector<std::uint64_t> drawn = sampling::memory(weights, shots, uniforms_of(numbers));
        std::vector<std::uint64_t> distinct(drawn);
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        counts.assign(distinct.size(), 0);
        for (std::uint64_t k : drawn)
            ++counts[std::lower_bound(distinct.begin(), distinct.end(), k) - distinct.begin()];
        for (std::uint64_t k : distinct) keys.push_back(text(k));
        std::vector<std::uint32_t> place;
        count_keys(result, keys, counts, &place);
        result.memory_shots.clear();
        result.memory_shots.reserve(drawn.size());
        for (std::uint64_t k : drawn)
            result.memory_shots.push_back(
                place[std::lower_bound(distinct.begin(), distinct.end(), k) - distinct.begin()]);
    }
}

}  // namespace shot_keys
