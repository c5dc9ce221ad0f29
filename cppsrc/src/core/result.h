// The product of a run: probabilities keyed by bit strings, the final state
// vector, and counts derived on demand for a number of shots.
#pragma once

#include <complex>
#include <map>
#include <string>
#include <vector>

class Result {
public:
    // Default shot count, the same as the drivers' default.
    static int repeat;

    std::map<std::string, double> probabilities;
    std::vector<std::complex<double>> states;
    int shots = repeat;
    std::map<std::string, int> counts;

    // Integer counts adding up to `shots`; computed once and then cached.
    std::map<std::string, int> get_counts();

    // One key drawn with the probabilities as weights; "" when there are none.
    std::string get_random_reading() const;

    // The `width`-character bit string of `value`, bit width-1 first.
    std::string to_string(long value, unsigned long width) const;
};
