// The product of a run: probabilities keyed by bit strings, the final state
// vector, and counts derived on demand for a number of shots. The dense
// vectors are shared, so that arrays viewing them without a copy stay valid
// however the result is changed afterwards.
#pragma once

#include <complex>
#include <map>
#include <memory>
#include <string>
#include <vector>

template <class T>
using shared_vector = std::shared_ptr<const std::vector<T>>;

class Result {
public:
    using state_vector = std::vector<std::complex<double>>;

    // Default shot count, the same as the drivers' default.
    static int repeat;

    std::map<std::string, double> probabilities;
    int shots = repeat;
    std::map<std::string, int> counts;

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

    // Replaces the keyed probabilities; the dense vector is then derived
    // from them when next asked for.
    void set_probabilities(std::map<std::string, double> keyed);

    // The run's probabilities with index k the key to_string(k, width): the
    // exact values before the keyed map drops and tops up entries. Its size
    // is 2^width, or 0 when the run gave no probabilities.
    void set_probability_vector(std::vector<double> dense);
    // The dense vector, derived from the keyed map when no run set it; throws
    // std::invalid_argument for keys that are not bit strings of one length.
    const shared_vector<double>& probability_vector();
    unsigned long key_width();

private:
    shared_vector<std::complex<double>> states_ = std::make_shared<const state_vector>();
    shared_vector<double> dense_;  // null until set or derived
    unsigned long width_ = 0;
};
