#include "result.h"

#include "util/memory_budget.h"

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

int Result::repeat = 1024;

namespace {

// One process-wide engine, seeded once from the system's entropy source.
std::mt19937_64& random_engine() {
    static std::mt19937_64 engine([] {
        std::random_device device("/dev/urandom");
        return static_cast<std::mt19937_64::result_type>(device());
    }());
    return engine;
}

// Truncated count of a probability, saturated so that huge or broken values
// set from Python cannot overflow.
int truncated_count(double expected) {
    if (!(expected > 0)) return 0;
    if (expected >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(expected);
}

}  // namespace

std::map<std::string, int> Result::get_counts() {
    if (!counts.empty() || shots <= 0) return counts;

    long long total = 0;
    std::vector<const std::string*> round_ups;
    for (const auto& [key, p] : probabilities) {
        double expected = p * shots;
        int whole = truncated_count(expected);
        if (whole >= 1) {
            counts[key] = whole;
            total += whole;
        }
        if (std::isfinite(expected) && std::round(expected) > expected) round_ups.push_back(&key);
    }

    long long remaining = shots - total;
    for (auto it = round_ups.begin(); remaining >= 1 && it != round_ups.end(); ++it) {
        ++counts[**it];
        --remaining;
    }
    if (remaining < 1) return counts;

    // When every expected count is below one half there is no entry to spread
    // the shortfall over; the shots then go to the most probable outcome (the
    // smallest such key on a tie), which is what a reading would most likely
    // give. Without any positive probability there is nothing to count.
    if (counts.empty()) {
        const std::string* best = nullptr;
        double best_p = 0.0;
        for (const auto& [key, p] : probabilities) {
            if (p > best_p) {
                best_p = p;
                best = &key;
            }
        }
        if (best != nullptr) counts[*best] = static_cast<int>(remaining);
        return counts;
    }
    while (remaining >= 1) {
        for (auto& entry : counts) {
            if (remaining < 1) break;
            ++entry.second;
            --remaining;
        }
    }
    return counts;
}

std::string Result::get_random_reading() const {
    if (probabilities.empty()) return "";
    double r = std::ldexp(static_cast<double>(random_engine()()), -64);
    double sum = 0.0;
    for (const auto& [key, p] : probabilities) {
        sum += p;
        if (r < sum) return key;
    }
    return probabilities.rbegin()->first;
}

std::string Result::to_string(long value, unsigned long width) const {
    std::string key(width, '0');
    write_key(static_cast<unsigned long>(value), width, key.data());
    return key;
}

void Result::write_key(unsigned long value, unsigned long width, char* key) {
    for (unsigned long k = 0; k < width; ++k) key[k] = ((value >> (width - 1 - k)) & 1UL) ? '1' : '0';
}

void Result::set_states(state_vector states) { states_ = std::make_shared<const state_vector>(std::move(states)); }

void Result::set_probabilities(std::map<std::string, double> keyed) {
    probabilities = std::move(keyed);
    dense_.reset();
}

namespace {

unsigned long width_of(std::size_t size) {
    unsigned long width = 0;
    while ((std::size_t{1} << width) < size) ++width;
    return width;
}

// Keys longer than this would ask for more memory than any machine has.
constexpr std::size_t kMaxDerivedWidth = 40;

std::vector<double> dense_from_keys(const std::map<std::string, double>& keyed) {
    if (keyed.empty()) return {};
    const std::size_t width = keyed.begin()->first.size();
    if (width > kMaxDerivedWidth) {
        throw std::invalid_argument("probability keys of " + std::to_string(width) +
                                    " characters are too long for a dense vector");
    }
    // A result made in Python may hold few keys of many characters: the
    // dense vector is refused rather than allocated when it cannot fit.
    const std::size_t size = std::size_t{1} << width;
    memory_budget::reservation held = memory_budget::reserve(
        static_cast<double>(size) * sizeof(double),
        "the probability array of " + std::to_string(width) + "-character keys (" + std::to_string(size) + " entries)");
    std::vector<double> dense(size, 0.0);
    for (const auto& [key, p] : keyed) {
        if (key.size() != width || key.find_first_not_of("01") != std::string::npos) {
            throw std::invalid_argument("probability key '" + key + "' is not a bit string of " +
                                        std::to_string(width) + " characters like the first key");
        }
        dense[std::stoull("0" + key, nullptr, 2)] = p;
    }
    return dense;
}

}  // namespace

void Result::set_probability_vector(std::vector<double> dense) {
    width_ = width_of(dense.size());
    dense_ = std::make_shared<const std::vector<double>>(std::move(dense));
}

const shared_vector<double>& Result::probability_vector() {
    if (!dense_) set_probability_vector(dense_from_keys(probabilities));
    return dense_;
}

unsigned long Result::key_width() {
    probability_vector();
    return width_;
}
