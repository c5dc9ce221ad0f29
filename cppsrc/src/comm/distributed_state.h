// A state vector spread over the ranks of an MPI world: each rank holds a
// slice of 2^L amplitudes, the top k = log2(ranks) bits of a global index
// naming the rank. Sits beside state_space (the whole vector in one process):
// gates still run through runGates on the local slice; this class only owns
// the slice, the map from logical to physical bit positions and the data
// movement that changes that map.
//
// Positions count from the least significant bit, as in compiled gates.
// Physical positions 0..L-1 are local, L..L+k-1 rank positions. A gate may
// act across a local position only, so a gate whose target sits on a rank
// position first swaps it with a local one: half of every rank's slice goes
// to the partner rank, in chunks through a bounded buffer. The map records
// the swap, so later gates on the same qubit pay nothing.
#pragma once

#include <vector>

#include "comm/rank_comm.h"
#include "engine/space/state_space.h"

struct exchange_stats {
    unsigned long swaps = 0;         // rank-local swaps of qubit positions
    unsigned long long bytesSent = 0;  // by this rank
    double exchangeSeconds = 0;      // in swaps, waiting included
};

// Over amplitudes of type std::complex<T>: double, or float for "precision":
// "single" (exchanged as floats: half the bytes).
template <class T>
class basic_distributed_state {
public:
    // |0...0> on `qubits` positions over the ranks of `world` (a power of
    // two, with at least two local positions left). Throws
    // std::invalid_argument otherwise.
    basic_distributed_state(unsigned long qubits, const rank_comm::world_info& world);

    unsigned long localBits() const { return local; }
    unsigned long rankBits() const { return qubitNum - local; }
    bool isRankPosition(unsigned long physical) const { return physical >= local; }
    // This rank's bit at a physical rank position.
    bool rankBit(unsigned long physical) const { return (rank >> (physical - local)) & 1; }

    unsigned long physical(unsigned long logical) const { return physicalOf[logical]; }
    unsigned long logical(unsigned long physical) const { return logicalOf[physical]; }

    // Exchanges the qubits at a rank position and a local position.
    // Collective: every rank calls it with the same positions.
    void swapRankAndLocal(unsigned long rankPosition, unsigned long localPosition);
    // Puts every logical position back on its own physical position, so
    // that the slices read in logical order: rank r holds global indices
    // [r 2^L, (r + 1) 2^L). Collective.
    void restoreLogicalOrder();

    state_space::amplitudes<T>& slice() { return amplitudes; }
    const state_space::amplitudes<T>& slice() const { return amplitudes; }
    int rankNumber() const { return rank; }
    const exchange_stats& stats() const { return counters; }

    // Amplitudes exchanged per message: an eighth of the slice for the send
    // and receive buffers together.
    static unsigned long chunkAmplitudes(unsigned long localBits);

private:
    // Swaps two local positions in place (no data leaves the rank).
    void swapLocal(unsigned long a, unsigned long b);
    void recordSwap(unsigned long a, unsigned long b);

    unsigned long qubitNum;
    unsigned long local;
    int rank;
    state_space::amplitudes<T> amplitudes;
    std::vector<unsigned long> physicalOf, logicalOf;
    exchange_stats counters;
};

using distributed_state = basic_distributed_state<double>;
