// Vectors of many megabytes (state vectors, probability vectors) backed by
// transparent huge pages where the kernel offers them on request: filling a
// 256 MiB vector then takes 128 page faults instead of 65,536, which is a
// sizeable share of a whole simulation. Contents and types are unchanged;
// only where the pages come from differs.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <vector>

#include "engine/parallel/share_out.h"

// Linux 5.14 and later; older kernels refuse it, and the pages then come
// with the first writes as before.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace large_vectors {

// Below this many bytes the page faults do not matter.
constexpr std::size_t HUGE_PAGE_MIN_BYTES = std::size_t(8) << 20;
constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t(2) << 20;

// Asks for huge pages over the 2 MiB-aligned part of v's storage. Advice
// only: where the kernel declines, the vector is simply backed as before.
template <class T>
void adviseHugePages(std::vector<T>& v) {
    const std::size_t bytes = v.capacity() * sizeof(T);
    if (bytes < HUGE_PAGE_MIN_BYTES) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t last = (begin + bytes) & ~(HUGE_PAGE - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Faults in the 2 MiB-aligned part of v's storage on `threads` threads at
// once. The kernel zeroes every page it hands out, and on a virtual machine
// the host may first have to back it: 2.5 s per GiB on one CPU on this
// project's two-CPU machine, half that on both, where the single thread
// that fills the vector afterwards then writes at memory speed.
template <class T>
void populate(std::vector<T>& v, unsigned threads) {
    const std::size_t bytes = v.capacity() * sizeof(T);
    if (threads < 2 || bytes < HUGE_PAGE_MIN_BYTES) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t last = (begin + bytes) & ~(HUGE_PAGE - 1);
    if (last <= first) return;
    gates::shareOut((last - first) / HUGE_PAGE, threads, [first](unsigned long from, unsigned long to) {
        madvise(reinterpret_cast<void*>(first + from * HUGE_PAGE), (to - from) * HUGE_PAGE, MADV_POPULATE_WRITE);
    });
}

// A vector of `size` copies of `value`, its storage advised before the
// first write and faulted in on `threads` threads.
template <class T>
std::vector<T> filled(std::size_t size, const T& value, unsigned threads = 1) {
    std::vector<T> v;
    v.reserve(size);
    adviseHugePages(v);
    populate(v, threads);
    v.assign(size, value);
    return v;
}

// A copy of `source`, its storage advised before the first write.
template <class T>
std::vector<T> copyOf(const std::vector<T>& source) {
    std::vector<T> v;
    v.reserve(source.size());
    adviseHugePages(v);
    v.assign(source.begin(), source.end());
    return v;
}

}  // namespace large_vectors
