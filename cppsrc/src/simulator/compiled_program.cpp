#include "simulator/compiled_program.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <utility>

#include "comm/rank_comm.h"
#include "engine/parallel/side_by_side.h"
#include "simulator/setup/noise.h"
#include "simulator/readout/shot_keys.h"

namespace {

// What every Result keeps, however small, with the Python object that
// wraps it: the object, its maps and shared vectors (measured at the peak
// of a sweep of one qubit: 970 bytes a set). A Result of expectation values
// alone is never wrapped; its values are copied into one array (480 bytes).
constexpr double kResultBytes = 1024;
constexpr double kBareResultBytes = 512;
constexpr double kBytesPerValue = sizeof(double);

// Sets of registers up to this wide run side by side, one per thread: a
// run this small gains little from threads of its own, and two or more of
// its vectors at once still fit easily (16 MiB each at double).
constexpr int kSideBySideQubits = 20;

// Whether the run hands back its final state: nothing measured, reset or
// mixed it, and it runs as a state vector.
bool keeps_state(const program::sub_circuit& sub, const simulator_options& options) {
    if (options.method == run_method::density_matrix || options.method == run_method::trajectories ||
        !options.noise.ideal())
        return false;
    return std::all_of(sub.ops.begin(), sub.ops.end(), [](const program::op& op) {
        return op.kind != program::op_kind::measure && op.kind != program::op_kind::reset &&
               op.kind != program::op_kind::channel && op.readout.empty();
    });
}

}  // namespace

compiled_program::compiled_program(std::vector<program::sub_circuit> subs, simulator_options options)
    : subs_(std::move(subs)), options_(std::move(options)), expectations_only_(options_) {
    expectations_only_.expectations_only = true;
    for (const program::sub_circuit& sub : subs_) {
        std::vector<std::size_t> columns;
        for (const std::string& name : sub.parameters) {
            auto at = std::find(names_.begin(), names_.end(), name);
            if (at == names_.end()) at = names_.insert(names_.end(), name);
            columns.push_back(static_cast<std::size_t>(at - names_.begin()));
        }
        columns_.push_back(std::move(columns));
    }
}

double compiled_program::result_bytes(bool expectations_only) const {
    const double values = kBytesPerValue * static_cast<double>(options_.observables.size());
    if (expectations_only) return kBareResultBytes + values;
    double bytes = kResultBytes + values;
    if (subs_.empty()) return bytes;
    const program::sub_circuit& first = subs_.front();
    if (!options_.probabilities) {
        const std::size_t width =
            shot_keys::key_width(options_.mcbits ? &*options_.mcbits : nullptr, options_.mqubits, first.qubits);
        // Counts keep one entry per distinct key; "memory" one per shot.
        const double keys = std::ldexp(1.0, static_cast<int>(std::min<std::size_t>(width, 62)));
        const double kept = options_.memory ? options_.shots : std::min<double>(options_.shots, keys);
        bytes += shot_keys::draw_bytes(static_cast<std::int64_t>(kept), options_.memory, width);
    } else {
        bytes += std::ldexp(kBytesPerValue, BasicSimulator::probability_bits(options_, first.qubits));
    }
    if (keeps_state(first, options_)) bytes += std::ldexp(options_.amplitude_bytes(), first.qubits);
    return bytes;
}

Result compiled_program::run(const double* values, run_context& context, bool expectations_only,
                             std::size_t set) const {
    std::vector<program::sub_circuit> bound = subs_;
    for (std::size_t s = 0; s < bound.size(); ++s) {
        std::vector<double> own;
        for (std::size_t column : columns_[s]) own.push_back(values[column]);
        program::bind(bound[s], own);
    }
    if (set == 0 || expectations_only)
        return BasicSimulator().execute(std::move(bound), expectations_only ? expectations_only_ : options_, context);
    simulator_options options = options_;
    options.sweep_set = set;
    return BasicSimulator().execute(std::move(bound), options, context);
}

std::vector<Result> compiled_program::run_sets(const double* values, std::size_t sets, run_context& context,
                                               bool expectations_only) const {
    const std::size_t width = names_.size();
    const bool small = std::all_of(subs_.begin(), subs_.end(),
                                   [](const program::sub_circuit& sub) { return sub.qubits <= kSideBySideQubits; });
    std::vector<Result> results;
    results.reserve(sets);
    if (!expectations_only || !small || sets < 2 || parallel::cpu_count() < 2 || rank_comm::world().size > 1) {
        for (std::size_t k = 0; k < sets; ++k) results.push_back(run(values + k * width, context, expectations_only, k));
        return results;
    }
    results.resize(sets);
    std::vector<std::vector<std::string>> warnings(sets);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    // The first failing set so far: the sets before it still run (one of
    // them may fail first), the ones after it no longer start.
    std::size_t failedAt = std::numeric_limits<std::size_t>::max();
    std::exception_ptr failure;
    std::mutex failureLock;
    parallel::side_by_side(parallel::cpu_count() - 1, [&](bool caller) {
        run_context own;
        // Only the calling thread may ask the caller whether to go on.
        own.keep_going = [&, caller] {
            if (caller && context.keep_going && !context.keep_going()) stopped = true;
            return !stopped.load();
        };
        for (std::size_t k; !stopped && (k = next++) < sets;) {
            {
                std::lock_guard<std::mutex> hold(failureLock);
                if (k > failedAt) break;
            }
            try {
                results[k] = run(values + k * width, own, expectations_only, k);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failureLock);
                if (k < failedAt) failedAt = k, failure = std::current_exception();
            }
            warnings[k] = std::move(own.warnings);
            own.warnings.clear();
        }
    });
    if (failure) std::rethrow_exception(failure);
    for (const std::vector<std::string>& set : warnings)
        for (const std::string& message : set) context.warn(message);
    return results;
}
