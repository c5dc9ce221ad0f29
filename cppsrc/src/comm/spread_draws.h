// Shots drawn from a state vector spread over MPI ranks: the draw of
// engine/space/amplitude_draws.h, block by block, with the blocks' weights and
// the outcomes exchanged between the ranks.
#pragma once

#include <cstdint>

#include "engine/space/amplitude_draws.h"

namespace amplitude_draws {

// The draw on a vector spread over the ranks of rank_comm::world(), each
// holding `slice` in logical order (rank r the global indices
// [r 2^L, (r + 1) 2^L)): the ranks exchange their blocks' weights and their
// outcomes, never amplitudes, and every rank returns every outcome.
// Collective.
template <class T>
outcome_counts drawSpread(const state_space::amplitudes<T>& slice, unsigned long qubits, std::int64_t shots,
                          std::uint64_t seed);

}  // namespace amplitude_draws
