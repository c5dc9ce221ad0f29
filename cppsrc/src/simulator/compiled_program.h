// A program read once and run for many sets of values of its free
// parameters: no graph is read again, only the angles are bound per set.
#pragma once

#include <string>
#include <vector>

#include "core/result.h"
#include "ir/program.h"
#include "simulator/basic_simulator.h"

class compiled_program {
public:
    compiled_program(std::vector<program::sub_circuit> subs, simulator_options options);

    // The free parameters of every sub-circuit, in order of first use.
    const std::vector<std::string>& parameters() const { return names_; }
    const simulator_options& options() const { return options_; }

    // One run with `values`, one per parameter in parameters() order;
    // `expectations_only`: the Result holds only the expectation values.
    // `set`: the run's place in a sweep, which the seed of its drawn shots
    // mixes in (set 0 draws as `execute` does).
    Result run(const double* values, run_context& context, bool expectations_only = false, std::size_t set = 0) const;

    // The runs of `sets` rows of values (row k at values + k * parameters().size()),
    // set k run as run(row k, ..., k). Expectation values of small registers
    // run side by side on the process's CPUs, one set per thread (each set
    // is exact and draws nothing: the results are those of the runs one
    // after another, and so are the warnings and, of several failing sets,
    // the failure reported: the first set's).
    std::vector<Result> run_sets(const double* values, std::size_t sets, run_context& context,
                                 bool expectations_only) const;

    // The bytes the Result of one run keeps (with `expectations_only`, as
    // `run` makes it), and its Python object: what a sweep reserves per set
    // before its first run. An estimate, from the options and the first
    // sub-circuit: the final state counts only where nothing collapses it.
    double result_bytes(bool expectations_only) const;

private:
    std::vector<program::sub_circuit> subs_;
    simulator_options options_;
    simulator_options expectations_only_;  // options_ asking for the expectation values alone
    std::vector<std::string> names_;
    std::vector<std::vector<std::size_t>> columns_;  // per sub-circuit: its parameter k -> index in names_
};
