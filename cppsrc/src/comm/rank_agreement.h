// The check the ranks of an MPI job make before a run exchanges anything:
// each tells the others what it compiled (a digest of the program and of the
// options that decide the run's collective calls) or why it failed, and all
// go on only when all compiled the same. Otherwise every rank raises at once
// instead of waiting for a partner that will never come, or exchanging
// messages of different sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/fusion/gate_runs.h"
#include "comm/rank_comm.h"

namespace rank_agreement {

// A 64-bit FNV-1a digest. Values are added field by field (never as padded
// structs), so equal inputs digest alike on every rank.
class digest {
public:
    digest& bytes(const void* data, std::size_t size);
    template <class T>
    digest& add(const T& value) {
        static_assert(std::is_arithmetic<T>::value || std::is_enum<T>::value, "add fields one by one");
        return bytes(&value, sizeof value);
    }
    template <class T>
    digest& add(const std::vector<T>& values) {
        add(values.size());
        for (const T& v : values) add(v);
        return *this;
    }
    std::uint64_t value() const { return state; }

private:
    std::uint64_t state = 0xcbf29ce484222325ULL;
};

// The digest of a compiled program, gate by gate.
std::uint64_t programDigest(const std::vector<gates::compiled_gate>& program);

// `value` as 16 hexadecimal digits.
std::string hex(std::uint64_t value);

// Another rank failed before the run; raised by the ranks that did not.
struct rank_failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The ranks compiled different runs; raised by every rank.
struct ranks_disagree : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Whether every rank failed.
bool allFailed(const std::vector<rank_comm::rank_verdict>& verdicts);

// What a rank that did not fail raises: rank_failed naming the first rank
// that failed, and its reason, when any did; ranks_disagree listing what
// each group of ranks with one digest compiled (its verdict's text) when
// their digests differ. Returns when every
// rank compiled the same.
void settle(const std::vector<rank_comm::rank_verdict>& verdicts);

}  // namespace rank_agreement
