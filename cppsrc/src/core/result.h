// The product of a run: probabilities keyed by bit strings, the final state
// vector, and counts derived on demand for a number of shots. The dense
// vectors are shared, so that arrays viewing them without a copy stay valid
// however the result is changed afterwards.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

template <class T>
using shared_vector = std::shared_ptr<const std::vector<T>>;

class Result {
public:
    using state_vector = std::vector<std::complex<double>>;
    // The final state of a single-precision run, kept as it was computed.
    using single_state_vector = std::vector<std::complex<float>>;

    // Default shot count, the same as the drivers' default.
    static int repeat;

    // A probability at or below this is left out of the keyed probabilities.
    static constexpr double kKeyFloor = 1e-10;

    int shots = repeat;
    // <O> for each observable the run was asked for ("observables"), in order.
    std::vector<double> expectation_values;
    // Where the run was an estimate (trajectories, 0 for an exact run): the
    // runs it averaged, and the standard error of each expectation value.
    unsigned long trajectories = 0;
    std::vector<double> expectation_errors;
    std::map<std::string, int> counts;
    // With "memory": the key of every shot in the order drawn, as an index
    // into memory_keys (the keys drawn, ascending): a shot costs 4 bytes.
    std::vector<std::string> memory_keys;
    std::vector<std::uint32_t> memory_shots;
    // The standard error of each keyed probability, for results that are
    // estimates (trajectories); empty for exact ones.
    std::map<std::string, double> probability_errors;

    // The probabilities keyed by bit strings. A run's result keeps them as
    // its dense vector until they are asked for: a register whose output
    // spreads over millions of outcomes costs no per-outcome object before.
    const std::map<std::string, double>& probabilities() const;
    // How many keys the keyed probabilities hold, without building them.
    std::size_t key_count() const;
    // The characters of a key when a dense vector backs the result (0 before).
    unsigned long dense_width() const { return dense_ ? width_ : 0; }
    // Whether a dense vector backs the result (a run's, or one derived).
    bool has_dense() const { return dense_ != nullptr; }
    // Calls visit(key, p) for every keyed probability in key order, without
    // building the map (the key text is made for each call).
    template <class Visit>
    void for_each_key(Visit visit) const;

    // Integer counts adding up to `shots`; computed once and then cached.
    std::map<std::string, int> get_counts();

    // One key drawn with the probabilities as weights; "" when there are none.
    std::string get_random_reading() const;

    // The `width`-character bit string of `value`, bit width-1 first.
    std::string to_string(long value, unsigned long width) const;
    // The same characters written to `key[0, width)`.
    static void write_key(unsigned long value, unsigned long width, char* key);

    // The final state vector in basis-index order.
    const state_vector& states() const { return *states_; }
    const shared_vector<std::complex<double>>& shared_states() const { return states_; }
    void set_states(state_vector states);
    // A single-precision run's state: `states()` is then empty and this
    // holds it instead. Setting either kind replaces the other.
    const shared_vector<std::complex<float>>& shared_single_states() const { return single_states_; }
    void set_states(single_state_vector states);
    bool single_precision_states() const { return !single_states_->empty(); }

    // Replaces the keyed probabilities; the dense vector is then derived
    // from them when next asked for.
    void set_probabilities(std::map<std::string, double> keyed);
    // Both forms at once, when the keys leave out entries of the vector.
    void set_probabilities(std::map<std::string, double> keyed, std::vector<double> dense);

    // A run's distribution: entry k of `dense` is the probability of the key
    // to_string(k, width), exact. The keyed probabilities are its entries
    // above kKeyFloor, with `shortfall` (what the whole distribution misses
    // of 1, the gates' rounding) added to the greatest such key when it
    // exceeds kKeyFloor in size. Its size is 2^width, or 0 for no outcomes.
    void set_distribution(std::vector<double> dense, double shortfall);
    // The dense vector, derived from the keyed map when no run set it; throws
    // std::invalid_argument for keys that are not bit strings of one length.
    const shared_vector<double>& probability_vector();
    unsigned long key_width();

private:
    // The index of the greatest kept entry of the dense vector, or its size.
    std::size_t last_kept() const;

    shared_vector<std::complex<double>> states_ = std::make_shared<const state_vector>();
    shared_vector<std::complex<float>> single_states_ = std::make_shared<const single_state_vector>();
    shared_vector<double> dense_;  // null until set or derived
    unsigned long width_ = 0;
    double shortfall_ = 0.0;
    // keyed_ holds the keyed probabilities when keyed_built_ (set by a caller,
    // or built once asked for); otherwise they are read off dense_.
    mutable std::map<std::string, double> keyed_;
    mutable bool keyed_built_ = true;
};

template <class Visit>
void Result::for_each_key(Visit visit) const {
    if (keyed_built_) {
        for (const auto& [key, p] : keyed_) visit(key, p);
        return;
    }
    const std::vector<double>& dense = *dense_;
    const std::size_t last = last_kept();
    std::string key(width_, '0');
    for (std::size_t k = 0; k < dense.size(); ++k) {
        if (!(std::fabs(dense[k]) > kKeyFloor)) continue;
        write_key(k, width_, key.data());
        visit(key, k == last && std::fabs(shortfall_) > kKeyFloor ? dense[k] + shortfall_ : dense[k]);
    }
}
