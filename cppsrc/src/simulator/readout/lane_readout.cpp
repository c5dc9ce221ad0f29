#include "simulator/readout/lane_readout.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace lane_readout {

std::vector<unsigned long> requested_bit_lanes(const measurement_record& record, const std::vector<int>& clbits,
                                               int cnum) {
    std::vector<unsigned long> lanes;
    for (int c : clbits) {
        if (c < 0 || c >= cnum) {
            throw std::invalid_argument("\"mcbits\" lists classical bit " + std::to_string(c) +
                                        ", but the circuit has " + std::to_string(cnum) + " classical bits");
        }
        lanes.push_back(record.source(static_cast<unsigned long>(c)));
    }
    return lanes;
}

bit_lanes read_bit_lanes(const measurement_record& record, const std::vector<int>& clbits, int cnum,
                         unsigned long lanes) {
    bit_lanes out;
    for (unsigned long lane : requested_bit_lanes(record, clbits, cnum)) {
        if (lane >= lanes) {
            out.keyLanes.push_back(NO_QUBIT);
            continue;
        }
        const auto at = std::find(out.read.begin(), out.read.end(), lane);
        out.keyLanes.push_back(static_cast<unsigned long>(at - out.read.begin()));
        if (at == out.read.end()) out.read.push_back(lane);
    }
    return out;
}

std::vector<unsigned long> drawn_key_lanes(const placement::placed_run& placed, const measurement_record& record,
                                           const classical_readout* classical,
                                           const register_readout& reported) {
    if (classical) return requested_bit_lanes(record, classical->clbits, static_cast<int>(placed.run.clbits));
    return shot_keys::qubit_key_lanes(placed.register_lanes, reported.qubits);
}

bool reducible(const placement::placed_run& placed, const register_readout* reported,
               std::vector<unsigned long>& lanes) {
    if (!reported || reported->qubits.empty() || placed.reuses > 0) return false;
    for (int q : reported->qubits)
        if (q >= 0 && static_cast<std::size_t>(q) < placed.register_lanes.size()) lanes.push_back(placed.register_lanes[q]);
    return lanes.size() < placed.register_lanes.size();
}

lane_plan plan(const placement::placed_run& placed, const classical_readout* classical,
               const register_readout* reported, bool spread) {
    lane_plan out;
    const unsigned long lanes = placed.run.qubits;
    const unsigned long qnum = placed.register_lanes.size();
    if (reported != nullptr && reported->draw) {
        out.what = read::draw;
    } else if (classical) {
        out.what = read::classical;
    } else if (lanes == qnum && reducible(placed, reported, out.reportedLanes)) {
        out.what = read::reduced;
    } else if (lanes > qnum || spread) {
        // A spread run sums the register's lanes on every rank instead of
        // gathering every basis state.
        out.what = read::over_records;
    } else {
        out.what = read::whole;
    }
    return out;
}

int summed_bits(const lane_plan& plan, const placement::placed_run& placed, const classical_readout* classical,
                bool expectations_only) {
    const int lanes = static_cast<int>(placed.run.qubits);
    if (expectations_only) return 0;
    switch (plan.what) {
        case read::draw: return 0;
        case read::classical: return std::min(lanes, static_cast<int>(classical->clbits.size()));
        case read::reduced: return static_cast<int>(plan.reportedLanes.size());
        case read::over_records: return static_cast<int>(placed.register_lanes.size());
        case read::whole: break;
    }
    return lanes;
}

}  // namespace lane_readout
