#include "result.h"

#include "core/memory_budget.h"

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

    // Two passes over the keys rather than a list of them: a spread
    // distribution has millions of keys and a few hundred shots.
    long long total = 0;
    auto rounds_up = [&](double p) {
        const double expected = p * shots;
        return std::isfinite(expected) && std::round(expected) > expected;
    };
    for_each_key([&](const std::string& key, double p) {
        int whole = truncated_count(p * shots);
        if (whole >= 1) {
            counts[key] = whole;
            total += whole;
        }
    });

    long long remaining = shots - total;
    if (remaining >= 1) {
        for_each_key([&](const std::string& key, double p) {
            if (remaining >= 1 && rounds_up(p)) {
                ++counts[key];
                --remaining;
            }
        });
    }
    if (remaining < 1) return counts;

    // When every expected count is below one half there is no entry to spread
    // the shortfall over; the shots then go to the most probable outcome (the
    // smallest such key on a tie), which is what a reading would most likely
    // give. Without any positive probability there is nothing to count.
    if (counts.empty()) {
        std::string best;
        double best_p = 0.0;
        for_each_key([&](const std::string& key, double p) {
            if (p > best_p) {
                best_p = p;
                best = key;
            }
        });
        if (best_p > 0) counts[best] = static_cast<int>(remaining);
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
    double r = std::ldexp(static_cast<double>(random_engine()()), -64);
    double sum = 0.0;
    bool found = false;
    std::string key_drawn;  // the last key until one is drawn
    for_each_key([&](const std::string& key, double p) {
        if (found) return;
        sum += p;
        found = r < sum;
        key_drawn = key;
    });
    return key_drawn;
}

const std::map<std::string, double>& Result::probabilities() const {
    if (!keyed_built_) {
        std::map<std::string, double> keyed;
        for_each_key([&](const std::string& key, double p) { keyed.emplace_hint(keyed.end(), key, p); });
        keyed_ = std::move(keyed);
        keyed_built_ = true;
    }
    return keyed_;
}

std::size_t Result::key_count() const {
    if (keyed_built_) return keyed_.size();
    std::size_t count = 0;
    for (double p : *dense_) count += std::fabs(p) > kKeyFloor;
    return count;
}

std::size_t Result::last_kept() const {
    const std::vector<double>& dense = *dense_;
    for (std::size_t k = dense.size(); k-- > 0;)
        if (std::fabs(dense[k]) > kKeyFloor) return k;
    return dense.size();
}

std::string Result::to_string(long value, unsigned long width) const {
    std::string key(width, '0');
    write_key(static_cast<unsigned long>(value), width, key.data());
    return key;
}

void Result::write_key(unsigned long value, unsigned long width, char* key) {
    for (unsigned long k = 0; k < width; ++k) key[k] = ((value >> (width - 1 - k)) & 1UL) ? '1' : '0';
}

void Result::set_states(state_vector states) {
    states_ = std::make_shared<const state_vector>(std::move(states));
    single_states_ = std::make_shared<const single_state_vector>();
}

void Result::set_states(single_state_vector states) {
    single_states_ = std::make_shared<const single_state_vector>(std::move(states));
    states_ = std::make_shared<const state_vector>();
}

void Result::set_probabilities(std::map<std::string, double> keyed) {
    keyed_ = std::move(keyed);
    keyed_built_ = true;
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

// Characters, not bytes, of a UTF-8 key: the count a Python caller sees.
std::size_t characters(const std::string& utf8) {
    std::size_t count = 0;
    for (unsigned char c : utf8) count += (c & 0xC0U) != 0x80U;
    return count;
}

std::vector<double> dense_from_keys(const std::map<std::string, double>& keyed) {
    if (keyed.empty()) return {};
    const std::size_t width = characters(keyed.begin()->first);
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

void Result::set_distribution(std::vector<double> dense, double shortfall) {
    width_ = width_of(dense.size());
    dense_ = std::make_shared<const std::vector<double>>(std::move(dense));
    shortfall_ = shortfall;
    keyed_.clear();
    keyed_built_ = false;
}

void Result::set_probabilities(std::map<std::string, double> keyed, std::vector<double> dense) {
    set_probabilities(std::move(keyed));
    width_ = width_of(dense.size());
    dense_ = std::make_shared<const std::vector<double>>(std::move(dense));
}

const shared_vector<double>& Result::probability_vector() {
    if (!dense_) {
        std::vector<double> dense = dense_from_keys(keyed_);
        width_ = width_of(dense.size());
        dense_ = std::make_shared<const std::vector<double>>(std::move(dense));
    }
    return dense_;
}

unsigned long Result::key_width() {
    probability_vector();
    return width_;
}
