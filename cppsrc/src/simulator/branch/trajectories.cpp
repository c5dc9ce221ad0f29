#include "simulator/branch/trajectories.h"

#include "engine/parallel/side_by_side.h"
#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>

#include "engine/parallel/side_by_side.h"
#include "engine/run/sliced_run.h"
#include "simulator/branch/branch_run.h"
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

// Sums and sums of squares over one stream's trajectories.
struct sums {
    std::vector<double> total, squares;
    std::map<std::string, std::pair<double, double>> keyed;
    std::vector<double> expectations, expectationSquares;

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
        if (!other.expectations.empty()) {
            if (expectations.empty())
                expectations.assign(other.expectations.size(), 0.0),
                    expectationSquares.assign(other.expectations.size(), 0.0);
            for (std::size_t k = 0; k < expectations.size(); ++k)
                expectations[k] += other.expectations[k], expectationSquares[k] += other.expectationSquares[k];
        }
    }
};

// The mean and its standard error from a sum and a sum of squares of n values.
std::pair<double, double> meanAndError(double total, double squares, double n) {
    const double mean = total / n;
    const double variance = n > 1 ? std::max(0.0, (squares - n * mean * mean) / (n - 1)) : 0.0;
    return {mean, std::sqrt(variance / n)};
}

}  // namespace

estimate run(const program::sub_circuit& sub, const simulator_options& options, run_context& context,
             const std::vector<int>* clbits, const std::vector<unsigned long>& reportedQubits) {
    const unsigned long count = options.trajectories;
    const unsigned threads = std::max(1U, std::min({kStreams, parallel::cpu_count(),
                                                    static_cast<unsigned>(std::max(1UL, count))}));
    // A branch run's vectors per thread; its splits reserve their own.
    memory_budget::reservation held = run_memory::trajectories(threads, sub.qubits);
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
                    one.drawChannels(trajectorySeed(options.seed, t));
                    one.execute();
                    if (!options.observables.empty()) streams[s].addExpectations(one.expectations(options.observables));
                    if (options.expectations_only) continue;
                    if (clbits)
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
        const auto [mean, error] = meanAndError(all.total[k], all.squares[k], n);
        out.mean.push_back(mean);
        out.error.push_back(error);
    }
    for (const auto& [key, s] : all.keyed) {
        const auto [mean, error] = meanAndError(s.first, s.second, n);
        out.classicalMean[key] = mean;
        out.classicalError[key] = error;
    }
    for (std::size_t k = 0; k < all.expectations.size(); ++k) {
        const auto [mean, error] = meanAndError(all.expectations[k], all.expectationSquares[k], n);
        out.expectations.push_back(mean);
        out.expectationErrors.push_back(error);
    }
    return out;
}

}  // namespace trajectories
