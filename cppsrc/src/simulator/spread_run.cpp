#include "simulator/spread_run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "comm/distributed_run.h"
#include "comm/rank_agreement.h"
#include "comm/rank_comm.h"
#include "comm/rank_session.h"
#include "simulator/readout/observables.h"
#include "simulator/readout/lane_readout.h"
#include "simulator/readout/shot_keys.h"
#include "core/memory_budget.h"


namespace spread_run {

namespace {

// Hexadecimal digits of a digest shown when ranks disagree.
constexpr std::size_t kShownDigits = 8;

// Memory one rank may take: what its node has available, shared by the
// ranks on it.
double rank_memory() { return memory_budget::free_bytes() / rank_comm::world().nodeRanks; }

// A spread run keeps per rank its slice (`amplitude` bytes each), the
// slice's probabilities, the exchange buffers (an eighth of the slice) and,
// unless the result is reduced to a few bits, every basis state's
// probability.
double spread_bytes(int lanes, int cnum, int bits, int gatheredBits, double amplitude) {
    return std::ldexp(amplitude + 8.0 + amplitude / 8.0, lanes - bits) + std::ldexp(8.0, gatheredBits) + 4.0 * cnum;
}

void check_spread_memory(int lanes, double needed) {
    const double available = rank_memory();
    if (needed <= available) return;
    throw memory_budget::exceeded("cannot simulate " + std::to_string(lanes) + " qubits over " +
                                  std::to_string(rank_comm::world().size) + " ranks: " +
                                  memory_budget::mebibytes(needed) + " MiB per rank needed, only " +
                                  memory_budget::mebibytes(std::max(available, 0.0)) + " MiB are available to a rank (" +
                                  std::to_string(rank_comm::world().nodeRanks) + " ranks share this node)");
}


// Agrees with the other ranks on the run about to start (rank_session): the
// compiled program and the options that decide the result and the run's
// collective calls.
void agree(const placement::placed_run& placed, int qnum, int cnum, int bits, bool fuse, bool single,
           const BasicSimulator::classical_readout* classical, const BasicSimulator::register_readout* reported,
           const std::vector<observable_spec>& observables, std::uint64_t program, std::size_t gates) {
    rank_session* session = rank_session::current();
    if (session == nullptr) return;
    rank_agreement::digest options;
    options.add(qnum).add(cnum).add(bits).add(placed.run.qubits).add(placed.reuses).add(single);
    options.add(placed.register_lanes).add(fuse).add(classical != nullptr).add(reported != nullptr);
    if (classical) options.add(classical->clbits);
    if (reported) options.add(std::vector<int>(reported->qubits.begin(), reported->qubits.end())).add(reported->local_slice);
    // Drawing shots makes exchanges of its own; the seed is agreed after.
    if (reported) options.add(reported->draw).add(reported->shots);
    // The observables decide the exchanges their expectation values make.
    options.add(observables.size());
    for (const observable_spec& o : observables) {
        options.add(o.size());
        for (const pauli_term_spec& t : o) {
            for (char c : t.paulis) options.add(c);
            options.add(t.coefficient);
        }
    }
    std::string description = std::to_string(qnum) + " qubits";
    if (placed.run.qubits > static_cast<unsigned long>(qnum))
        description += " (" + std::to_string(placed.run.qubits) + " with record qubits)";
    description += " and " + std::to_string(gates) + " compiled gates (program " +
                   rank_agreement::hex(program).substr(0, kShownDigits) + ", options " +
                   rank_agreement::hex(options.value()).substr(0, kShownDigits) + ")";
    session->agree(rank_agreement::digest().add(program).add(options.value()).value(), description);
}

}  // namespace

int spread_bits(int qnum) {
    const rank_comm::world_info& world = rank_comm::world();
    if (world.size <= 1) return 0;
    if ((world.size & (world.size - 1)) != 0) {
        throw std::invalid_argument("a distributed run needs a power-of-two number of MPI ranks, not " +
                                    std::to_string(world.size));
    }
    const int bits = static_cast<int>(gates::qubitCount(static_cast<unsigned long>(world.size)));
    return qnum >= bits + 2 ? bits : 0;
}

namespace {

// The spread run on amplitudes of type std::complex<T>; the final state (or
// this rank's slice) goes to `states`.
template <class T>
std::vector<double> spreadOn(const placement::placed_run& placed, int bits, const lane_readout::lane_plan& plan,
                             state_space::amplitudes<T>& states, run_request& request) {
    const int qnum = static_cast<int>(placed.register_lanes.size());
    const int cnum = static_cast<int>(placed.run.clbits);
    const fusion_choice fusion = request.options.fusion;
    const std::vector<observable_spec>& observables = request.options.observables;
    BasicSimulator::classical_readout* classical = request.classical;
    BasicSimulator::register_readout* reported = request.reported;
    constexpr double amplitude = sizeof(std::complex<T>);
    const int lanes = static_cast<int>(placed.run.qubits);
    const bool drawing = plan.what == lane_readout::read::draw;
    const bool reduced = plan.what == lane_readout::read::reduced;
    const bool expecting = reported && !observables.empty();
    // Drawn shots: a few bytes each, their keys and memory included.
    const double drawBytes =
        drawing ? shot_keys::draw_bytes(
                      reported->shots, true,
                      shot_keys::key_width(classical ? &classical->clbits : nullptr, reported->qubits, qnum))
                : 0.0;
    // Expectation values of terms that flip rank positions read one more slice.
    const double needed = spread_bytes(lanes, cnum, bits, classical || reduced || drawing ? 0 : qnum, amplitude) +
                          (expecting ? std::ldexp(amplitude, lanes - bits) : 0.0) + drawBytes;
    std::vector<double> probabilities;
    bool stateLeftOut = false;
    {
        // Everything that can fail on one rank alone happens before the
        // agreement: the memory check, the slice, the compilation and the
        // classical bits' lanes.
        check_spread_memory(lanes, needed);
        // Held until the slice exists: other runs of this process then see it.
        memory_budget::reservation held =
            memory_budget::reserve(needed, "this rank's share of " + std::to_string(lanes) + " qubits");
        basic_distributed_sliced_run<T> run(placed.run, rank_comm::world(), fusion);
        held.release();
        const std::uint64_t program = run.compile();
        const lane_readout::key_lanes keys = lane_readout::keys_of(plan, placed, run.record(), classical, reported);
        agree(placed, qnum, cnum, bits, fusesAt(fusion, static_cast<unsigned long>(lanes)), std::is_same_v<T, float>,
              classical, reported, expecting ? observables : std::vector<observable_spec>{}, program,
              run.compiledGates());

        // From here on the ranks exchange amplitudes: a rank that stopped
        // alone would leave the others waiting, so a failure ends the job.
        // Ctrl-C is left to the launcher, which stops every rank.
        try {
            if (drawing) reported->seed = agreed_seed(reported->seed);
            run.execute();
            if (expecting) {
                reported->expectations = run.expectations(observables::on_lanes(
                    observables, placed.register_lanes, static_cast<unsigned long>(lanes), run.record()));
            }
            probabilities = lane_readout::read_off(run, placed, plan, keys, classical, reported);
            if (placed.reuses == 0 && reported && reported->local_slice) {
                states = run.takeLocalSlice();
            } else if (placed.reuses == 0 && !run.record().anyMeasured()) {
                // The whole vector on every rank, only where one rank can hold it.
                const double withState = needed + std::ldexp(2 * amplitude, lanes);
                if (rank_comm::maxAll(withState / rank_memory()) <= 1.0)
                    states = run.gatherStateVector();
                else
                    stateLeftOut = true;
            }
        } catch (const std::exception& e) {
            rank_comm::abortJob(std::string("failed after the ranks began exchanging amplitudes: ") + e.what());
        } catch (...) {
            rank_comm::abortJob("failed after the ranks began exchanging amplitudes");
        }
    }
    if (stateLeftOut) {
        const std::string message = "the state vector of " + std::to_string(lanes) +
                                    " qubits does not fit one rank and is not gathered; Result.states is empty "
                                    "(\"local_state\": True gives each rank its own slice)";
        request.context.warn(message);
    }
    return probabilities;
}

}  // namespace

std::vector<double> run_spread(const placement::placed_run& placed, int bits, const lane_readout::lane_plan& plan,
                               run_request& request) {
    if (!request.options.single()) return spreadOn<double>(placed, bits, plan, request.states, request);
    state_space::amplitudes<float> slice;
    std::vector<double> probabilities = spreadOn<float>(placed, bits, plan, slice, request);
    request.states.clear();
    if (request.reported) request.reported->single_state = std::move(slice);
    return probabilities;
}

std::uint64_t agreed_seed(std::uint64_t own) { return rank_comm::gatherAll(std::vector<std::uint64_t>{own}).front(); }

void agree_on_whole_run(const placement::placed_run& placed, int qnum, int cnum, fusion_choice fusion, bool single,
                        const BasicSimulator::classical_readout* classical,
                        const BasicSimulator::register_readout* reported,
                        const std::vector<observable_spec>& observables) {
    measurement_record record(placed.run.qubits, placed.run.clbits);
    const std::vector<gates::compiled_gate> program = compileSliced(placed.run, record);
    agree(placed, qnum, cnum, 0, fusesAt(fusion, placed.run.qubits), single, classical, reported, observables,
          rank_agreement::programDigest(program), program.size());
}

}  // namespace spread_run
