#include "comm/spread_draws.h"

#include <algorithm>
#include <vector>

#include "comm/rank_comm.h"
#include "ir/gates.h"

namespace amplitude_draws {

template <class T>
outcome_counts drawSpread(const state_space::amplitudes<T>& slice, unsigned long qubits, std::int64_t shots,
                          std::uint64_t seed) {
    const unsigned long bits = blockBits(qubits, gates::qubitCount(slice.size()));
    const std::vector<double> weights = rank_comm::gatherAll(blockWeights(slice, bits));
    const std::vector<std::int64_t> perBlock = blockShots(weights, shots, seed);
    const std::size_t firstBlock = static_cast<std::size_t>(rank_comm::world().rank) * (slice.size() >> bits);
    const outcome_counts mine = drawInSlice(slice, bits, weights, perBlock, firstBlock, seed);

    // Every rank's outcomes, padded to the longest list with empty entries;
    // rank order is index order.
    const std::vector<double> lengths = rank_comm::gatherAll(std::vector<double>{static_cast<double>(mine.size())});
    const std::size_t longest = static_cast<std::size_t>(*std::max_element(lengths.begin(), lengths.end()));
    std::vector<std::uint64_t> packed(2 * longest, 0);
    for (std::size_t i = 0; i < mine.size(); ++i) {
        packed[2 * i] = mine[i].first;
        packed[2 * i + 1] = static_cast<std::uint64_t>(mine[i].second);
    }
    const std::vector<std::uint64_t> all = rank_comm::gatherAll(packed);
    outcome_counts out;
    for (std::size_t i = 0; i + 1 < all.size(); i += 2)
        if (all[i + 1] > 0) out.emplace_back(all[i], static_cast<std::int64_t>(all[i + 1]));
    return out;
}

template outcome_counts drawSpread<double>(const state_space::amplitudes<double>&, unsigned long, std::int64_t,
                                           std::uint64_t);
template outcome_counts drawSpread<float>(const state_space::amplitudes<float>&, unsigned long, std::int64_t,
                                          std::uint64_t);

}  // namespace amplitude_draws
