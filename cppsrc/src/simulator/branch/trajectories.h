// Quantum trajectories: a noisy circuit run many times on pure branch
// states (branch_run.h), each channel drawing one Kraus operator per branch
// with the probability it has there (channel_draws.h). The mean of the
// runs' results is an unbiased estimate of the density matrix's; beside
// each mean goes its standard error, adjusted to stay truthful where rare
// jumps were seen seldom or never (trajectories.cpp). Registers too wide
// for a density matrix (4^n amplitudes) take 2^n per thread this way.
//
// Trajectory t draws from a generator seeded by the run's seed and t alone,
// and the sums are formed in a fixed order of kStreams partial sums: the
// estimate is the same for a seed whatever the number of threads.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ir/program.h"
#include "simulator/setup/run_context.h"
#include "simulator/setup/simulator_options.h"

namespace trajectories {

// Partial sums, each over every kStreams-th trajectory: also the most
// threads a run uses.
constexpr unsigned kStreams = 16;

struct estimate {
    // What each trajectory reports, averaged: the probabilities over
    // `reportedQubits` (all when empty), or of the classical bits.
    std::vector<double> mean, error;
    std::map<std::string, double> classicalMean, classicalError;
    std::vector<double> expectations, expectationErrors;  // of the options' observables
};

// Runs `count` trajectories of `sub`. With `clbits` the results are the
// classical bits' keyed probabilities, else the probabilities over
// `reportedQubits` (the first listed the top bit; all qubits when empty).
estimate run(const program::sub_circuit& sub, const simulator_options& options, run_context& context,
             const std::vector<int>* clbits, const std::vector<unsigned long>& reportedQubits);

}  // namespace trajectories
