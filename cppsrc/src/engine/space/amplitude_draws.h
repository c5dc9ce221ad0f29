// Shots drawn straight from the amplitudes, without a vector of 2^n
// probabilities beside the state.
//
// The vector is cut into blocks of equal size. One parallel pass sums |a|^2
// per block; the shots are shared out over the blocks as a multinomial
// draw (one binomial per block, in block order); then only the blocks that
// received shots are read again, each drawing its own shots' uniform
// numbers, sorted, against its amplitudes' running sum. Every block's sum
// is one sequential loop and every block draws from a generator seeded by
// the run's seed and the block's number alone, so the outcomes depend on
// the seed and the amplitudes, never on the thread count, and a vector
// spread over MPI ranks draws exactly what the whole vector would
// (comm/spread_draws.h).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/space/state_space.h"

namespace amplitude_draws {

// (basis index, shots that drew it), in ascending index order.
using outcome_counts = std::vector<std::pair<std::uint64_t, std::int64_t>>;

// A vector is cut into at most 2^kBlockCountBits blocks (few enough that
// their weights are a small array; a wide vector's blocks are long
// sequential reads), none smaller than 2^kMinBlockBits amplitudes: the
// fewest a rank's slice holds, so that a vector spread over up to
// 2^kBlockCountBits ranks is cut into the blocks it has in one process.
constexpr unsigned long kBlockCountBits = 16;
constexpr unsigned long kMinBlockBits = 2;

// A stream number of the run's seed that no block uses: the shots' shares
// of the blocks, and (simulator/) the order of the shots.
constexpr std::uint64_t kShareStream = ~std::uint64_t{0};
constexpr std::uint64_t kOrderStream = ~std::uint64_t{1};

// A generator seed made of `seed` and `stream` (splitmix64).
std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream);

// The generator of the draws: splitmix64, whose state is one word, so that
// each of thousands of blocks seeds its own at no cost.
class generator {
public:
    using result_type = std::uint64_t;
    explicit generator(std::uint64_t seed) : state_(seed) {}
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()();
    // 53 random bits as a double in [0, 1).
    double uniform();

private:
    std::uint64_t state_;
};

// log2 of a block's amplitudes, for a vector of 2^qubits amplitudes held in
// slices of 2^localBits each (localBits == qubits: one process).
unsigned long blockBits(unsigned long qubits, unsigned long localBits);

// sum |a|^2 over each block of `slice`, in index order within a block.
template <class T>
std::vector<double> blockWeights(const state_space::amplitudes<T>& slice, unsigned long blockBits);

// The shots of each block: `shots` draws shared out with the weights as a
// multinomial, from the seed alone. Throws std::invalid_argument when the
// weights are not finite or, with shots to draw, add up to nothing.
std::vector<std::int64_t> blockShots(const std::vector<double>& weights, std::int64_t shots, std::uint64_t seed);

// The outcomes of the shots that fall in `slice`, whose first block is
// block `firstBlock` of the whole vector (`weights` and `shots` are the
// whole vector's). Indices are global.
template <class T>
outcome_counts drawInSlice(const state_space::amplitudes<T>& slice, unsigned long blockBits,
                           const std::vector<double>& weights, const std::vector<std::int64_t>& shots,
                           std::size_t firstBlock, std::uint64_t seed);

// The whole draw on a vector held by this process.
template <class T>
outcome_counts draw(const state_space::amplitudes<T>& state, std::int64_t shots, std::uint64_t seed);

}  // namespace amplitude_draws
