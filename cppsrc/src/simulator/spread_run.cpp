#include "simulator/spread_run.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "engine/distributed_run.h"
#include "engine/rank_comm.h"
#include "simulator/readout.h"
#include "util/memory_budget.h"
#include "util/python_exit.h"

namespace py = pybind11;

namespace spread_run {

namespace {

// Memory one rank may take: what its node has available, shared by the
// ranks on it.
double rank_memory() { return memory_budget::free_bytes() / rank_comm::world().nodeRanks; }

// A spread run keeps per rank its slice, the slice's probabilities, the
// exchange buffers (an eighth of the slice) and, unless the result is
// reduced to a few bits, every basis state's probability.
double spread_bytes(int lanes, int cnum, int bits, int gatheredBits) {
    return std::ldexp(16.0 + 8.0 + 2.0, lanes - bits) + std::ldexp(8.0, gatheredBits) + 4.0 * cnum;
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

bool reducible(const BasicSimulator::lowered_circuit& lowered, const BasicSimulator::register_readout* reported,
               std::vector<unsigned long>& lanes) {
    if (!reported || reported->qubits.empty() || lowered.reuses > 0) return false;
    for (int q : reported->qubits)
        if (q >= 0 && static_cast<std::size_t>(q) < lowered.register_lanes.size()) lanes.push_back(lowered.register_lanes[q]);
    return lanes.size() < lowered.register_lanes.size();
}

std::vector<double> run_spread(const BasicSimulator::lowered_circuit& lowered, int qnum, int cnum, int bits,
                               BasicSimulator::state_vector& states, BasicSimulator::classical_readout* classical,
                               BasicSimulator::register_readout* reported, fusion_choice fusion) {
    const int lanes = static_cast<int>(lowered.gates.getQubitNum());
    std::vector<unsigned long> reportedLanes;
    const bool reduced = !classical && reducible(lowered, reported, reportedLanes);
    const double needed = spread_bytes(lanes, cnum, bits, classical || reduced ? 0 : qnum);
    check_spread_memory(lanes, needed);
    // Held until the slice exists: other runs of this process then see it.
    memory_budget::reservation held =
        memory_budget::reserve(needed, "this rank's share of " + std::to_string(lanes) + " qubits");
    std::vector<double> probabilities;
    bool stateLeftOut = false;
    {
        python_exit::released release;
        // Ctrl-C is left to the launcher, which stops every rank: a rank
        // that stopped alone would leave its partners waiting.
        distributed_sliced_run run(lowered.gates, rank_comm::world(), fusion);
        held.release();
        run.execute();
        if (classical) {
            // Only the lanes that the classical bits read are reduced.
            const std::vector<unsigned long> bitLanes = requested_bit_lanes(run.record(), classical->clbits, cnum);
            std::vector<unsigned long> read, keyLanes;
            for (unsigned long lane : bitLanes) {
                if (lane >= static_cast<unsigned long>(lanes)) {
                    keyLanes.push_back(NO_QUBIT);
                    continue;
                }
                const auto at = std::find(read.begin(), read.end(), lane);
                keyLanes.push_back(static_cast<unsigned long>(at - read.begin()));
                if (at == read.end()) read.push_back(lane);
            }
            classical->probabilities = readout::clbitDistribution(run.marginal(read), read.size(), keyLanes);
        }
        if (classical) {
            // The result is keyed by the classical bits alone.
        } else if (reduced) {
            // Entries one process would leave out are left out before summing.
            probabilities = run.marginal(reportedLanes);
            reported->reduced = true;
        } else {
            probabilities = run.marginal(lowered.register_lanes);
        }
        if (lowered.reuses == 0 && reported && reported->local_slice) {
            states = run.takeLocalSlice();
        } else if (lowered.reuses == 0 && !run.record().anyMeasured()) {
            // The whole vector on every rank, only where one rank can hold it.
            const double withState = needed + std::ldexp(32.0, lanes);
            if (rank_comm::maxAll(withState / rank_memory()) <= 1.0)
                states = run.gatherStateVector();
            else
                stateLeftOut = true;
        }
    }
    if (stateLeftOut) {
        const std::string message = "the state vector of " + std::to_string(lanes) +
                                    " qubits does not fit one rank and is not gathered; Result.states is empty "
                                    "(\"local_state\": True gives each rank its own slice)";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
    }
    return probabilities;
}

}  // namespace spread_run
