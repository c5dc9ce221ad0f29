// Real samples of a probability vector: each shot an independent outcome
// drawn with the probabilities as weights (so the counts of a number of
// shots are multinomial). The uniform numbers come from the caller, which
// lets a seeded generator of its choice make the draws reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace sampling {

// Fills `count` doubles, uniform on [0, 1), into the buffer.
using uniform_source = std::function<void(double* buffer, std::size_t count)>;

// The weight of the non-negative entries, summed in index order. Throws
// std::invalid_argument as `counts` does: negative shots, entries that are
// not finite or clearly negative, and, when shots are asked for, no weight.
double total_weight(const std::vector<double>& probabilities, std::int64_t shots);

// Shots are drawn in chunks of this many or the vector's size, whichever is
// larger, so the memory beside the output stays that of the vector.
std::size_t chunk_size(std::size_t outcomes);

// How often each outcome index came up in `shots` draws, in ascending
// outcome order, outcomes never drawn left out. Throws
// std::invalid_argument for negative shots, entries that are not finite or
// clearly negative, and, when shots are asked for, weights adding up to 0.
std::vector<std::pair<std::uint64_t, std::int64_t>> counts(const std::vector<double>& probabilities,
                                                           std::int64_t shots, const uniform_source& uniforms);

// The outcome index of every shot, in the order drawn. Draws the same
// outcomes as `counts` for the same uniform numbers.
std::vector<std::uint64_t> memory(const std::vector<double>& probabilities, std::int64_t shots,
                                  const uniform_source& uniforms);

}  // namespace sampling
