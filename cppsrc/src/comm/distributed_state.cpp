#include "comm/distributed_state.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/fusion/gate_runs.h"
#include "engine/parallel/large_vectors.h"
#include "engine/parallel/share_out.h"

namespace {

using clock_type = std::chrono::steady_clock;

// `k` with a bit of value `value` inserted at `position`.
unsigned long insertBit(unsigned long k, unsigned long position, unsigned long value) {
    const unsigned long low = k & ((1UL << position) - 1);
    return ((k >> position) << (position + 1)) | (value << position) | low;
}

// Calls copy(index, offset, length) for the contiguous runs of slice indices
// insertBit(k, position, value), k in [begin, end): runs of 2^position
// amplitudes, so high positions move in long memcpy-sized pieces.
template <class Copy>
void forRuns(unsigned long begin, unsigned long end, unsigned long position, unsigned long value, Copy copy) {
    const unsigned long block = 1UL << position;
    for (unsigned long k = begin; k < end;) {
        const unsigned long length = std::min(block - (k & (block - 1)), end - k);
        copy(insertBit(k, position, value), k - begin, length);
        k += length;
    }
}

}  // namespace

template <class T>
basic_distributed_state<T>::basic_distributed_state(unsigned long qubits, const rank_comm::world_info& world)
    : qubitNum(qubits), rank(world.rank) {
    const unsigned long ranks = static_cast<unsigned long>(world.size);
    if (ranks == 0 || (ranks & (ranks - 1)) != 0)
        throw std::invalid_argument("a distributed run needs a power-of-two number of ranks, not " +
                                    std::to_string(ranks));
    const unsigned long rankBitCount = gates::qubitCount(ranks);
    if (qubits < rankBitCount + 2)
        throw std::invalid_argument(std::to_string(qubits) + " qubits are too few to spread over " +
                                    std::to_string(ranks) + " ranks");
    local = qubits - rankBitCount;
    amplitudes = state_space::zeroStateOf<T>(local);
    if (rank != 0) amplitudes[0] = 0.0;
    for (unsigned long p = 0; p < qubits; ++p) {
        physicalOf.push_back(p);
        logicalOf.push_back(p);
    }
}

template <class T>
unsigned long basic_distributed_state<T>::chunkAmplitudes(unsigned long localBits) {
    // Two buffers (send and receive) of a sixteenth each; at most 2^28
    // amplitudes so that a message's count of doubles fits an int.
    const unsigned long sixteenth = localBits >= 4 ? 1UL << (localBits - 4) : 1UL;
    return std::min(sixteenth, 1UL << 28);
}

template <class T>
void basic_distributed_state<T>::recordSwap(unsigned long a, unsigned long b) {
    std::swap(logicalOf[a], logicalOf[b]);
    physicalOf[logicalOf[a]] = a;
    physicalOf[logicalOf[b]] = b;
}

template <class T>
void basic_distributed_state<T>::swapRankAndLocal(unsigned long rankPosition, unsigned long localPosition) {
    const auto start = clock_type::now();
    // Amplitudes whose local bit differs from this rank's bit change rank;
    // the partner sends the ones that land in their places, in the same
    // order, so both sides walk the same half.
    const unsigned long keep = rankBit(rankPosition) ? 1 : 0;
    const int partner = rank ^ (1 << (rankPosition - local));
    const unsigned long half = 1UL << (local - 1);
    const unsigned long chunk = chunkAmplitudes(local);
    std::vector<std::complex<T>> sent(chunk), received(chunk);
    std::complex<T>* const data = amplitudes.data();
    for (unsigned long begin = 0; begin < half; begin += chunk) {
        const unsigned long end = std::min(half, begin + chunk);
        forRuns(begin, end, localPosition, 1 - keep, [&](unsigned long index, unsigned long at, unsigned long n) {
            std::copy(data + index, data + index + n, sent.data() + at);
        });
        rank_comm::exchange(sent.data(), received.data(), end - begin, partner);
        forRuns(begin, end, localPosition, 1 - keep, [&](unsigned long index, unsigned long at, unsigned long n) {
            std::copy(received.data() + at, received.data() + at + n, data + index);
        });
    }
    recordSwap(rankPosition, localPosition);
    ++counters.swaps;
    counters.bytesSent += static_cast<unsigned long long>(half) * sizeof(std::complex<T>);
    counters.exchangeSeconds += std::chrono::duration<double>(clock_type::now() - start).count();
}

template <class T>
void basic_distributed_state<T>::swapLocal(unsigned long a, unsigned long b) {
    const unsigned long low = std::min(a, b), high = std::max(a, b);
    const unsigned long quarter = 1UL << (local - 2);
    const unsigned long across = (1UL << a) | (1UL << b);
    std::complex<T>* const data = amplitudes.data();
    gates::shareOut(quarter, gates::workerCount(amplitudes.size()), [&](unsigned long begin, unsigned long end) {
        for (unsigned long k = begin; k < end; ++k) {
            const unsigned long index = insertBit(insertBit(k, low, 0), high, 0) | (1UL << a);
            std::swap(data[index], data[index ^ across]);
        }
    });
    recordSwap(a, b);
}

template <class T>
void basic_distributed_state<T>::restoreLogicalOrder() {
    // Rank positions first, each fetched from wherever its qubit went; a
    // qubit parked on another rank position goes through a local one.
    for (unsigned long home = local; home < qubitNum; ++home) {
        unsigned long at = physicalOf[home];
        if (at == home) continue;
        if (isRankPosition(at)) {
            swapRankAndLocal(at, 0);
            at = 0;
        }
        swapRankAndLocal(home, at);
    }
    // Then the local positions, which only permute within each slice.
    for (unsigned long p = 0; p < local; ++p)
        while (logicalOf[p] != p) swapLocal(p, logicalOf[p]);
}

template class basic_distributed_state<double>;
template class basic_distributed_state<float>;
