// shareOut over the kept threads: every index once, however the calls come
// (thread counts that change, callers side by side, calls inside calls),
// and a failure of the caller's own part only after the others are done.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/parallel/share_out.h"

namespace {

// Counts each index [0, count) that shareOut hands out; true when each came once.
bool eachOnce(unsigned long count, unsigned threads, bool nested = false) {
    std::vector<std::atomic<int>> hits(count);
    gates::shareOut(count, threads, [&](unsigned long begin, unsigned long end) {
        if (nested && begin < end) gates::shareOut(1, 2, [](unsigned long, unsigned long) {});
        for (unsigned long k = begin; k < end; ++k) ++hits[k];
    });
    for (const std::atomic<int>& h : hits)
        if (h != 1) return false;
    return true;
}

TEST(share_out, EveryIndexOnceWhateverTheSplit) {
    for (int round = 0; round < 20; ++round)
        for (unsigned long count : {1UL, 2UL, 3UL, 7UL, 100UL, 4099UL})
            for (unsigned threads : {1U, 2U, 3U, 5U, 8U}) ASSERT_TRUE(eachOnce(count, threads)) << count << " " << threads;
}

TEST(share_out, CallersSideBySideAndCallsInsideCallsAllFinish) {
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&, c] {
            for (int round = 0; round < 100; ++round)
                if (!eachOnce(64 + round, 2 + (round + c) % 3, round % 2 == 0)) ++failures;
        });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(failures, 0);
}

TEST(share_out, TheCallersFailureComesOnceTheOtherPartsAreDone) {
    std::vector<std::atomic<int>> hits(4);
    EXPECT_THROW(gates::shareOut(4, 4,
                                 [&](unsigned long begin, unsigned long) {
                                     if (begin == 0) throw std::runtime_error("first part");
                                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                     ++hits[begin];
                                 }),
                 std::runtime_error);
    for (unsigned long k = 1; k < 4; ++k) EXPECT_EQ(hits[k], 1) << k;
    EXPECT_TRUE(eachOnce(1000, 4));  // and the kept threads serve the next call
}

}  // namespace
