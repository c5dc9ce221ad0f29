// Limits on the inline expansion of calls of sub-circuit definitions, the
// same for both back ends.
#pragma once

namespace call_limits {

// At most this many definition-body vertices are expanded per lowering:
// definitions whose calls multiply (each calling the next twice, say) would
// otherwise grow without bound in time and memory.
inline constexpr long kMaxExpandedVertices = 1L << 22;

}  // namespace call_limits
