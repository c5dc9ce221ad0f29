#include "simulator/branch/trajectories.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>

#include "engine/parallel/side_by_side.h"
#include "engine/run/sliced_run.h"
#include "simulator/branch/branch_run.h"
#include "simulator/branch/channel_draws.h"
#include "core/memory_budget.h"
#include "simulator/setup/run_memory.h"

namespace trajectories {

namespace {

// A trajectory's seed: the run's seed and its number, mixed (splitmix64).
std::uint64_t trajectorySeed(std::uint64_t seed, std::uint64_t t) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (t + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Classical results of at most this many bits are summed by value in flat
// arrays (2^bits entries per stream); wider ones by key.
constexpr std::size_t kFlatClassicalBits = 20;

// Sums and sums of squares over one stream's trajectories.
struct sums {
    std::vector<double> total, squares;
    std::map<std::string, std::pair<double, double>> keyed;
    // Keyed by value: sums, sums of squares, whether any trajectory reached
    // the value, and one trajectory's values (zero between trajectories).
    std::vector<double> flatTotal, flatSquares, flatOne;
    std::vector<char> flatReached;
    std::vector<std::size_t> reached;  // the indices flatOne holds
    std::vector<double> expectations, expectationSquares;

    template <class Run>
    void addClassical(const Run& one, const std::vector<int>& clbits) {
        if (flatTotal.empty()) {
            const std::size_t size = std::size_t(1) << clbits.size();
            flatTotal.assign(size, 0.0), flatSquares.assign(size, 0.0), flatOne.assign(size, 0.0);
            flatReached.assign(size, 0);
        }
        reached.clear();
        one.addClassical(clbits, flatOne, reached);
        for (std::size_t index : reached) {
            double& value = flatOne[index];
            if (flatReached[index] == 2) continue;  // a second branch's part, already summed
            flatTotal[index] += value, flatSquares[index] += value * value;
            flatReached[index] = 2;
        }
        for (std::size_t index : reached) flatOne[index] = 0, flatReached[index] = 1;
    }

    void add(const std::vector<double>& values) {
        if (total.empty()) total.assign(values.size(), 0.0), squares.assign(values.size(), 0.0);
        for (std::size_t k = 0; k < values.size(); ++k) total[k] += values[k], squares[k] += values[k] * values[k];
    }
    void add(const std::map<std::string, double>& values) {
        for (const auto& [key, p] : values) keyed[key].first += p, keyed[key].second += p * p;
    }
    void addExpectations(const std::vector<double>& values) {
        if (expectations.empty()) expectations.assign(values.size(), 0.0), expectationSquares.assign(values.size(), 0.0);
        for (std::size_t k = 0; k < values.size(); ++k)
            expectations[k] += values[k], expectationSquares[k] += values[k] * values[k];
    }
    void merge(const sums& other) {
        if (!other.total.empty()) {
            if (total.empty()) total.assign(other.total.size(), 0.0), squares.assign(other.total.size(), 0.0);
            for (std::size_t k = 0; k < total.size(); ++k) total[k] += other.total[k], squares[k] += other.squares[k];
        }
        for (const auto& [key, s] : other.keyed) keyed[key].first += s.first, keyed[key].second += s.second;
        if (!other.flatTotal.empty()) {
            if (flatTotal.empty())
                flatTotal.assign(other.flatTotal.size(), 0.0), flatSquares.assign(other.flatTotal.size(), 0.0),
                    flatReached.assign(other.flatTotal.size(), 0);
            for (std::size_t k = 0; k < flatTotal.size(); ++k)
                if (other.flatReached[k])
                    flatTotal[k] += other.flatTotal[k], flatSquares[k] += other.flatSquares[k], flatReached[k] = 1;
        }
        if (!other.expectations.empty()) {
            if (expectations.empty())
                expectations.assign(other.expectations.size(), 0.0),
                    expectationSquares.assign(other.expectations.size(), 0.0);
            for (std::size_t k = 0; k < expectations.size(); ++k)
                expectations[k] += other.expectations[k], expectationSquares[k] += other.expectationSquares[k];
        }
    }
};

// The mean of n values that lie in [low, high] and its error: the standard
// error of the n values and two more, `low` and `high` (the Agresti-Coull
// adjustment, for probabilities low 0 and high 1). A value that only a rare
// jump changes may be the same in every trajectory drawn, or in all but
// one: its plain standard error is then 0, or far below its distance from
// the truth, while this one stays at about (high - low) / (2n) at least,
// the scale on which n trajectories can see anything at all. It changes a
// well-sampled value's error by a relative O(1/n). The mean stays the
// plain one (unbiased).
std::pair<double, double> meanAndError(double total, double squares, double n, double low, double high) {
    const double m = n + 2, adjusted = (total + low + high) / m;
    const double variance = std::max(0.0, (squares + low * low + high * high - m * adjusted * adjusted) / (m - 1));
    return {total / n, std::sqrt(variance / n)};
}

// The most an observable's value can be away from 0: its Pauli strings'
// eigenvalues are +-1.
double boundOf(const observable_spec& observable) {
    double bound = 0;
    for (const pauli_term_spec& term : observable) bound += std::abs(term.coefficient);
    return bound;
}

}  // namespace

estimate run(const program::sub_circuit& sub, const simulator_options& options, run_context& context,
             const std::vector<int>* clbits, const std::vector<unsigned long>& reportedQubits) {
    const unsigned long count = options.trajectories;
    const unsigned threads = std::max(1U, std::min({kStreams, parallel::cpu_count(),
                                                    static_cast<unsigned>(std::max(1UL, count))}));
    // A branch run's vectors per thread; its splits reserve their own.
    memory_budget::reservation held = run_memory::trajectories(threads, sub.qubits);
    const channel_draws::draw_table table(sub);
    const bool flatClassical = clbits && clbits->size() <= kFlatClassicalBits;
    std::vector<sums> streams(kStreams);
    std::atomic<unsigned> nextStream{0};
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&](bool caller) {
        for (unsigned s; !stop && (s = nextStream++) < kStreams;) {
            try {
                for (unsigned long t = s; t < count && !stop; t += kStreams) {
                    if (caller && context.keep_going && !context.keep_going()) throw run_stopped();
                    branch_run::run<branch_run::pure_states> one(sub, options.fusion);
                    one.drawChannels(trajectorySeed(options.seed, t), table);
                    one.execute();
                    if (!options.observables.empty()) streams[s].addExpectations(one.expectations(options.observables));
                    if (options.expectations_only) continue;
                    if (flatClassical)
                        streams[s].addClassical(one, *clbits);
                    else if (clbits)
                        streams[s].add(one.classical(*clbits));
                    else
                        streams[s].add(reportedQubits.empty() ? one.probabilities() : one.marginal(reportedQubits));
                }
            } catch (...) {
                std::lock_guard<std::mutex> hold(failureLock);
                if (!failure) failure = std::current_exception();
                stop = true;
            }
        }
    };
    parallel::side_by_side(threads - 1, work);
    if (failure) std::rethrow_exception(failure);
    sums all;
    for (const sums& s : streams) all.merge(s);
    estimate out;
    const double n = static_cast<double>(count);
    for (std::size_t k = 0; k < all.total.size(); ++k) {
        const auto [mean, error] = meanAndError(all.total[k], all.squares[k], n, 0, 1);
        out.mean.push_back(mean);
        out.error.push_back(error);
    }
    for (const auto& [key, s] : all.keyed) {
        const auto [mean, error] = meanAndError(s.first, s.second, n, 0, 1);
        out.classicalMean[key] = mean;
        out.classicalError[key] = error;
    }
    const std::size_t width = clbits ? clbits->size() : 0;
    for (std::size_t index = 0; index < all.flatTotal.size(); ++index) {
        if (!all.flatReached[index]) continue;
        std::string key(width, '0');
        for (std::size_t c = 0; c < width; ++c)
            if ((index >> (width - 1 - c)) & 1) key[c] = '1';
        const auto [mean, error] = meanAndError(all.flatTotal[index], all.flatSquares[index], n, 0, 1);
        out.classicalMean.emplace_hint(out.classicalMean.end(), key, mean);
        out.classicalError.emplace_hint(out.classicalError.end(), std::move(key), error);
    }
    for (std::size_t k = 0; k < all.expectations.size(); ++k) {
        const double bound = boundOf(options.observables[k]);
        const auto [mean, error] = meanAndError(all.expectations[k], all.expectationSquares[k], n, -bound, bound);
        out.expectations.push_back(mean);
        out.expectationErrors.push_back(error);
    }
    return out;
}

}  // namespace trajectories
