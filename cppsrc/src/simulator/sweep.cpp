#include "simulator/sweep.h"

#include <algorithm>
#include <utility>

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
