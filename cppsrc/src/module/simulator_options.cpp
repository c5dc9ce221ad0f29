// The keys of BasicSimulator's "execute" dict, their types and defaults:
//
//   "parallel"       bool      False   one run per sub-circuit
//   "print_circuit"  bool      False   the circuit text on stdout
//   "fusion"         bool      absent  absent: fused from 16 qubits; False: exact
//   "mcbits"         ints      absent  key the result by these classical bits
//   "mqubits"        ints      absent  key the result by these qubits (all when absent)
//   "local_state"    bool      False   each MPI rank keeps its slice of the state
//   "shots"          int       1024    read after the run
//
// Other keys are ignored.
#include "module/simulator_options.h"

#include <exception>
#include <set>

namespace module_options {

simulator_options read_simulator_options(const config_reader& config, bool& mqubits_unreadable) {
    simulator_options options;
    options.parallel = config.get_bool("parallel", false);
    options.print_circuit = config.get_bool("print_circuit", false);
    if (config.has("fusion"))
        options.fusion = config.get_bool("fusion", false) ? fusion_choice::on : fusion_choice::off;
    if (config.has("mcbits")) {
        const std::vector<int> listed = config.get_int_list("mcbits");
        const std::set<int> bits(listed.begin(), listed.end());
        options.mcbits = std::vector<int>(bits.begin(), bits.end());
    }
    options.local_state = config.get_bool("local_state", false);
    mqubits_unreadable = false;
    if (config.has("mqubits")) {
        try {
            for (int q : config.get_int_list("mqubits")) options.mqubits.insert(q);
        } catch (const std::exception&) {
            options.mqubits.clear();
            mqubits_unreadable = true;
        }
    }
    return options;
}

int read_shots(const config_reader& config, bool mqubits_unreadable) {
    const int shots = config.get_int("shots", simulator_options::kDefaultShots);
    if (mqubits_unreadable) config.get_int_list("mqubits");  // raises what is wrong with it
    return shots;
}

}  // namespace module_options
