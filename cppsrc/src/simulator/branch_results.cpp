// What a branch run reports: its results summed over the live branches,
// each branch's squared norm being its probability.
#include <algorithm>
#include <utility>

#include "engine/space/pauli_sums.h"
#include "simulator/branch/branch_run.h"
#include "simulator/readout/observables.h"
#include "simulator/readout/lane_readout.h"

namespace branch_run {

using state_space::state_vector;

template <class Space>
std::vector<double> run<Space>::probabilities() const {
    std::vector<double> out(std::size_t(1) << qubits_, 0.0);
    for (const branch& b : branches_) {
        const std::vector<double> part = Space::probabilities(b.state, qubits_);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] += part[i];
    }
    return out;
}

template <class Space>
std::vector<double> run<Space>::marginal(const std::vector<unsigned long>& qubits) const {
    std::vector<unsigned long> positions;
    for (unsigned long q : qubits) positions.push_back(qubits_ - 1 - q);
    std::vector<double> out(std::size_t(1) << qubits.size(), 0.0);
    for (const branch& b : branches_) {
        const std::vector<double> part = Space::marginal(b.state, qubits_, positions);
        for (std::size_t k = 0; k < out.size(); ++k) out[k] += part[k];
    }
    return out;
}

namespace {

// Folds the readout error `error` of the key's character `at` into keyed
// probabilities: each value splits between the one recorded as is and
// the one recorded flipped.
void foldReadout(std::map<std::string, double>& keyed, std::size_t at, const std::array<double, 4>& error) {
    std::map<std::string, double> out;
    for (const auto& [key, p] : keyed) {
        const int outcome = key[at] == '1';
        std::string flipped = key;
        flipped[at] = outcome ? '0' : '1';
        if (error[2 * outcome + outcome] != 0) out[key] += p * error[2 * outcome + outcome];
        if (error[2 * outcome + !outcome] != 0) out[flipped] += p * error[2 * outcome + !outcome];
    }
    keyed = std::move(out);
}

// What a branch's classical bits read: each bit's source (a register
// qubit, or none: a bit settled or never written), the distinct measured
// qubits among them (the first the marginal's top bit), and their marginal
// probabilities in the branch.
struct bit_sources {
    std::vector<unsigned long> sources, read;
    std::vector<double> sums;
};

template <class Space, class Branch>
bit_sources sourcesOf(const Branch& b, const std::vector<int>& clbits, unsigned long qubits, unsigned long clbitCount) {
    bit_sources out;
    out.sources = lane_readout::requested_bit_lanes(b.record, clbits, static_cast<int>(clbitCount));
    for (unsigned long q : out.sources)
        if (q < qubits && std::find(out.read.begin(), out.read.end(), q) == out.read.end()) out.read.push_back(q);
    std::vector<unsigned long> positions;
    for (unsigned long q : out.read) positions.push_back(qubits - 1 - q);
    out.sums = Space::marginal(b.state, qubits, positions);
    return out;
}

}  // namespace

template <class Space>
std::map<std::string, double> run<Space>::classical(const std::vector<int>& clbits) const {
    std::map<std::string, double> out;
    for (const branch& b : branches_) {
        const auto [sources, read, sums] = sourcesOf<Space>(b, clbits, qubits_, clbits_);
        std::map<std::string, double> mine;
        for (std::size_t key = 0; key < sums.size(); ++key) {
            if (sums[key] == 0) continue;
            std::string text(clbits.size(), '0');
            for (std::size_t c = 0; c < clbits.size(); ++c) {
                const unsigned long q = sources[c];
                if (q < qubits_) {
                    const std::size_t at = static_cast<std::size_t>(std::find(read.begin(), read.end(), q) - read.begin());
                    text[c] = ((key >> (read.size() - 1 - at)) & 1) ? '1' : '0';
                } else if (b.record.settledOne(static_cast<unsigned long>(clbits[c]))) {
                    text[c] = '1';
                }
            }
            mine[text] += sums[key];
        }
        // Bits that still read their qubit through a readout error.
        for (std::size_t c = 0; c < clbits.size(); ++c) {
            const auto error = b.noisy.find(static_cast<unsigned long>(clbits[c]));
            if (error != b.noisy.end() && sources[c] < qubits_) foldReadout(mine, c, error->second);
        }
        for (const auto& [key, p] : mine) out[key] += p;
    }
    return out;
}

template <class Space>
void run<Space>::addClassical(const std::vector<int>& clbits, std::vector<double>& into,
                              std::vector<std::size_t>& reached) const {
    const std::size_t width = clbits.size();
    for (const branch& b : branches_) {
        const auto [sources, read, sums] = sourcesOf<Space>(b, clbits, qubits_, clbits_);
        // Each read qubit's bits of the index, and the bits settled to 1.
        std::vector<std::size_t> bitsOf(read.size(), 0);
        std::size_t settledOnes = 0;
        std::vector<std::pair<std::size_t, std::array<double, 4>>> noisy;  // index bit, its readout error
        for (std::size_t c = 0; c < width; ++c) {
            const std::size_t bit = std::size_t(1) << (width - 1 - c);
            const unsigned long q = sources[c];
            if (q < qubits_) {
                bitsOf[static_cast<std::size_t>(std::find(read.begin(), read.end(), q) - read.begin())] |= bit;
                const auto error = b.noisy.find(static_cast<unsigned long>(clbits[c]));
                if (error != b.noisy.end()) noisy.emplace_back(bit, error->second);
            } else if (b.record.settledOne(static_cast<unsigned long>(clbits[c]))) {
                settledOnes |= bit;
            }
        }
        // Distinct marginal keys reach distinct indices: one sum each.
        std::map<std::size_t, double> mine;  // by index: the keys' order
        for (std::size_t key = 0; key < sums.size(); ++key) {
            if (sums[key] == 0) continue;
            std::size_t index = settledOnes;
            for (std::size_t at = 0; at < read.size(); ++at)
                if ((key >> (read.size() - 1 - at)) & 1) index |= bitsOf[at];
            if (!noisy.empty()) {
                mine[index] = sums[key];
                continue;
            }
            into[index] += sums[key];
            reached.push_back(index);
        }
        // Bits that still read their qubit through a readout error, folded
        // in as classical() folds them.
        for (const auto& [bit, error] : noisy) {
            std::map<std::size_t, double> out;
            for (const auto& [index, p] : mine) {
                const int outcome = (index & bit) != 0;
                if (error[2 * outcome + outcome] != 0) out[index] += p * error[2 * outcome + outcome];
                if (error[2 * outcome + !outcome] != 0) out[index ^ bit] += p * error[2 * outcome + !outcome];
            }
            mine = std::move(out);
        }
        for (const auto& [index, p] : mine) {
            into[index] += p;
            reached.push_back(index);
        }
    }
}

template <class Space>
std::vector<double> run<Space>::expectations(const std::vector<observable_spec>& specs) const {
    std::vector<unsigned long> lanes(qubits_);
    for (unsigned long q = 0; q < qubits_; ++q) lanes[q] = q;
    std::vector<double> out(specs.size(), 0.0);
    for (const branch& b : branches_) {
        // Each branch's values are its own, normalised: weighted by its probability.
        const std::vector<double> part = Space::expectations(
            b.state, qubits_, observables::on_lanes(specs, lanes, qubits_, b.record), keepGoing_);
        const double weight = Space::weight(b.state, qubits_);
        for (std::size_t k = 0; k < out.size(); ++k) out[k] += weight * part[k];
    }
    return out;
}

template <class Space>
state_vector run<Space>::takeStateVector() {
    if (Space::kTakesChannels || !pure_ || branches_.size() != 1) return {};
    state_vector out = std::move(branches_.front().state);
    branches_.clear();
    state_space::normalise(out);
    return out;
}

// The results of both kinds of branch run (the run itself is instantiated
// in branch_run.cpp).
#define KOVRA_BRANCH_RESULTS(Space)                                                               \
    template std::vector<double> run<Space>::probabilities() const;                               \
    template std::vector<double> run<Space>::marginal(const std::vector<unsigned long>&) const;   \
    template std::map<std::string, double> run<Space>::classical(const std::vector<int>&) const;  \
    template void run<Space>::addClassical(const std::vector<int>&, std::vector<double>&,        \
                                           std::vector<std::size_t>&) const;                      \
    template std::vector<double> run<Space>::expectations(const std::vector<observable_spec>&) const; \
    template state_vector run<Space>::takeStateVector();
KOVRA_BRANCH_RESULTS(pure_states)
KOVRA_BRANCH_RESULTS(density_states)
#undef KOVRA_BRANCH_RESULTS

}  // namespace branch_run
