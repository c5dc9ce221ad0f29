#include "simulator/planner.h"

#include "comm/rank_comm.h"
#include "core/memory_budget.h"
#include "engine/space/density_space.h"
#include "simulator/basic_simulator.h"
#include "simulator/setup/noise.h"
#include "simulator/spread_run.h"

namespace planner {

namespace {

// A measurement or reset that only some branches make, or a classical bit
// overwritten: the record of one vector can say neither.
bool conditions_a_collapse(const program::sub_circuit& sub) {
    for (const program::op& op : sub.ops)
        if ((op.kind != program::op_kind::gate && op.cond.isValid()) || op.kind == program::op_kind::store)
            return true;
    return false;
}

// Record qubits are kept by default where they cost little: a vector of at
// most 2^20 amplitudes, or at most two reuses (four times the register).
// Beyond, branch states cost at most as much and usually far less (a
// syndrome measured every round takes no qubit at all).
constexpr unsigned long kSmallRecordLanes = 20;
constexpr unsigned long kFewReuses = 2;

// Whether the record-qubit vector of a placed run is cheap, and fits the
// machine now (the vector alone: what the run's own guard holds it to at
// least).
bool records_pay(const placement::placed_run& placed, int cnum, double amplitude_bytes) {
    if (placed.run.qubits > kSmallRecordLanes && placed.reuses > kFewReuses) return false;
    const double needed =
        BasicSimulator::estimated_bytes(static_cast<int>(placed.run.qubits), cnum, 0, amplitude_bytes);
    return needed < memory_budget::kSmallBytes || needed <= memory_budget::free_bytes();
}

// The record-qubit placement of a sub-circuit, or nothing where it runs as
// branch states: a measurement or reset under a condition, "measure_reuse":
// "branches", or (by default) record qubits that would cost much (more than
// 2^20 amplitudes and more than two reuses) or not fit the machine. MPI
// ranks and single precision, which have no branch states, keep them. Where
// record qubits stay, results are those of every earlier release to the
// last bit.
std::optional<placement::placed_run> placed_or_branches(const program::sub_circuit& sub,
                                                        const simulator_options& options) {
    if (options.reuse == reuse_choice::branches) return std::nullopt;
    const bool records = options.reuse == reuse_choice::records;
    if (conditions_a_collapse(sub)) {
        if (records) {
            throw std::invalid_argument("a classically conditioned measurement or reset, or a STORE vertex, "
                                        "cannot run with \"measure_reuse\": \"records\"; \"auto\" or "
                                        "\"branches\" runs it");
        }
        return std::nullopt;
    }
    const bool spread = rank_comm::world().size > 1;
    const bool only_records = records || spread || options.single();
    try {
        placement::placed_run placed = BasicSimulator::place(sub);
        if (only_records || placed.reuses == 0 || records_pay(placed, sub.clbits, options.amplitude_bytes()))
            return placed;
    } catch (const std::invalid_argument&) {
        if (only_records) throw;
    }
    return std::nullopt;
}

// Branch states, density matrices and trajectories run in one process.
void refuse_ranks(const std::string& what) {
    if (rank_comm::world().size > 1)
        throw std::invalid_argument("this circuit runs as " + what + ", which a single process runs, not MPI ranks");
}

const char* const kBranchStatesWhy =
    "branch states (a conditioned measurement or reset, a STORE vertex, or \"measure_reuse\": \"branches\")";

// Channels, readout errors, noise or "method": "density_matrix": the run
// takes mixed states (or, for readout errors alone, pure branches).
bool runs_mixed(const program::sub_circuit& sub, const simulator_options& options) {
    return options.method == run_method::density_matrix || !options.noise.ideal() || noise::hasChannels(sub) ||
           noise::hasReadoutErrors(sub);
}

run_plan plan_mixed(const program::sub_circuit& sub, const simulator_options& options) {
    if (options.single())
        throw precision_refused("runs a circuit as one state vector; this one is noisy (channels, readout "
                                "errors or \"method\": \"density_matrix\")");
    run_plan plan;
    plan.mixed = true;
    if (!options.noise.ideal()) plan.noisy = noise::withNoise(sub, options.noise);
    const program::sub_circuit& run = circuit_of(plan, sub);
    const bool channels = noise::hasChannels(run);
    if (channels && options.method == run_method::statevector) {
        throw std::invalid_argument("the circuit holds channels (\"KRAUS\" vertices or \"noise\"), which a state "
                                    "vector does not run exactly: leave \"method\" out or set it to "
                                    "\"density_matrix\"");
    }
    if (channels && (options.method == run_method::trajectories ||
                     (options.method == run_method::automatic && run.qubits > simulator_options::kAutoDensityQubits))) {
        refuse_ranks("trajectories");
        plan.kind = run_kind::trajectories;
    } else if (!channels && options.method != run_method::density_matrix) {
        // Readout errors alone leave the branches pure.
        refuse_ranks(kBranchStatesWhy);
        plan.kind = run_kind::branch_states;
    } else {
        refuse_ranks("a density matrix");
        BasicSimulator::check_density_size(run.qubits);
        plan.kind = run_kind::density_matrix;
    }
    return plan;
}

}  // namespace

run_plan plan(const program::sub_circuit& sub, const run_request& request) {
    const simulator_options& options = request.options;
    const bool reported = request.reported != nullptr;
    if (runs_mixed(sub, options)) return plan_mixed(sub, options);
    BasicSimulator::check_run_size(sub.qubits, sub.clbits,
                                   reported ? BasicSimulator::probability_bits(options, sub.qubits) : sub.qubits,
                                   options.amplitude_bytes());
    run_plan plan;
    plan.placed = placed_or_branches(sub, options);
    if (!plan.placed) {
        if (options.single()) {
            throw precision_refused("runs a circuit as one vector; this one runs as branch states (a "
                                    "conditioned measurement or reset, a STORE vertex, or "
                                    "\"measure_reuse\": \"branches\")");
        }
        refuse_ranks(kBranchStatesWhy);
        plan.kind = run_kind::branch_states;
        return plan;
    }
    plan.spread_bits = spread_run::spread_bits(static_cast<int>(plan.placed->register_lanes.size()));
    plan.kind = plan.spread_bits > 0 ? run_kind::spread : run_kind::one_vector;
    plan.readout = lane_readout::plan(*plan.placed, request.classical, request.reported, plan.spread_bits > 0);
    return plan;
}

}  // namespace planner
