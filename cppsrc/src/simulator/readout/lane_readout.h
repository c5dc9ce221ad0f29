// What a run on lanes (one vector in this process, or spread over MPI ranks)
// reads off its final amplitudes, decided once and read in one place: shots
// drawn, the classical bits' distribution, the reported qubits' marginal,
// the register summed over record lanes, or every basis state.
#pragma once

#include <type_traits>
#include <utility>
#include <vector>

#include "engine/run/measurement_record.h"
#include "simulator/readout/readout.h"
#include "simulator/readout/run_request.h"
#include "simulator/readout/shot_keys.h"
#include "simulator/setup/placement.h"

namespace lane_readout {

enum class read {
    draw,          // "probabilities": False: reported->shots outcomes, no probabilities
    classical,     // keyed by classical bits ("mcbits"): the lanes they read
    reduced,       // a few reported qubits: summed straight to their lanes
    over_records,  // the register's lanes, summed over record lanes
    whole,         // every basis state of the register
};

struct lane_plan {
    read what = read::whole;
    std::vector<unsigned long> reportedLanes;  // reduced: the lanes summed to
};

// What the run reads. `spread`: the run is spread over ranks, which sum the
// register's lanes rather than gather every basis state.
lane_plan plan(const placement::placed_run& placed, const classical_readout* classical,
               const register_readout* reported, bool spread);

// The qubits whose probabilities the plan forms (what the run reserves
// for them): none where it draws or only expectation values are wanted.
int summed_bits(const lane_plan& plan, const placement::placed_run& placed, const classical_readout* classical,
                bool expectations_only);

// The lane each requested classical bit reads (a value past the lanes for a
// bit nothing wrote); refuses bits the circuit does not have.
std::vector<unsigned long> requested_bit_lanes(const measurement_record& record, const std::vector<int>& clbits,
                                               int cnum);

// The lanes a classical result sums over: each distinct lane the requested
// bits read (`read`), and for each bit its place among them (`keyLanes`;
// NO_QUBIT for a bit nothing wrote).
struct bit_lanes {
    std::vector<unsigned long> read, keyLanes;
};
bit_lanes read_bit_lanes(const measurement_record& record, const std::vector<int>& clbits, int cnum,
                         unsigned long lanes);

// The lane each character of a drawn shot's key reads: the classical bits'
// lanes when keyed by them, else the reported qubits' register lanes.
std::vector<unsigned long> drawn_key_lanes(const placement::placed_run& placed, const measurement_record& record,
                                           const classical_readout* classical, const register_readout& reported);

// The register lanes of the reported qubits, when the run may sum over the
// others itself: some qubits left out, and no record lanes (whose sums one
// process forms before leaving out small entries).
bool reducible(const placement::placed_run& placed, const register_readout* reported,
               std::vector<unsigned long>& lanes);

// The lanes a plan's keys read, known once the run's measurement record is:
// a spread run finds them before the ranks agree, so that a request no
// rank can read fails on every rank before any exchange.
struct key_lanes {
    std::vector<unsigned long> drawn;  // draw: each key character's lane
    bit_lanes bits;                    // classical: the lanes summed and each bit's place
};
inline key_lanes keys_of(const lane_plan& plan, const placement::placed_run& placed, const measurement_record& record,
                         const classical_readout* classical, const register_readout* reported) {
    key_lanes out;
    if (plan.what == read::draw)
        out.drawn = drawn_key_lanes(placed, record, classical, *reported);
    else if (plan.what == read::classical)
        out.bits = read_bit_lanes(record, classical->clbits, static_cast<int>(placed.run.clbits), placed.run.qubits);
    return out;
}

// Whether a run can hand out every basis state's probability (a spread
// run sums lanes only).
template <class Run, class = void>
struct forms_probabilities : std::false_type {};
template <class Run>
struct forms_probabilities<Run, std::void_t<decltype(std::declval<Run&>().probabilities())>> : std::true_type {};

// Reads what the plan says off a run that has executed: a sliced run in
// this process or a distributed one (both sum lanes with `marginal` and
// draw with `draw`). Returns the probabilities the caller reports (empty
// where the readout went to `classical` or to reported->drawn).
template <class Run>
std::vector<double> read_off(Run& run, const placement::placed_run& placed, const lane_plan& plan,
                             const key_lanes& keys, classical_readout* classical, register_readout* reported) {
    switch (plan.what) {
        case read::draw:
            reported->drawn =
                shot_keys::drawn_shots{run.draw(reported->shots, reported->seed), placed.run.qubits, keys.drawn};
            return {};
        case read::classical:
            // Only the lanes the classical bits read, summed straight from
            // the amplitudes in the order the full vector would be: no
            // vector of 2^n probabilities, and the same sums.
            classical->probabilities =
                readout::clbitDistribution(run.marginal(keys.bits.read), keys.bits.read.size(), keys.bits.keyLanes);
            return {};
        case read::reduced:
            reported->reduced = true;
            return run.marginal(plan.reportedLanes);
        case read::over_records:
            return run.marginal(placed.register_lanes);
        case read::whole:
            break;
    }
    if constexpr (forms_probabilities<Run>::value)
        return run.probabilities();
    else
        return run.marginal(placed.register_lanes);
}

}  // namespace lane_readout
