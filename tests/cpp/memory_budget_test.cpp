// The process-wide memory ledger: reservations add up across holders, are
// given back when their holder ends, and a refusal names its figures.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>

#include "core/memory_budget.h"

namespace {

double half_of_what_is_free() { return std::floor(memory_budget::free_bytes() / 2) + (64 << 20); }

TEST(MemoryBudget, ReservationsOfConcurrentHoldersAddUp) {
    const double half = half_of_what_is_free();
    memory_budget::reservation first = memory_budget::reserve(half, "the first run");
    std::string refusal;
    std::thread other([&] {
        try {
            memory_budget::reserve(half, "the second run");
        } catch (const memory_budget::exceeded& e) {
            refusal = e.what();
        }
    });
    other.join();
    EXPECT_NE(refusal.find("the second run need "), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("other runs of this process are about to take"), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("MiB are available"), std::string::npos) << refusal;
}

TEST(MemoryBudget, ReleasedReservationsAreFreeAgain) {
    const double half = half_of_what_is_free();
    { memory_budget::reservation gone = memory_budget::reserve(half, "a run that ended"); }
    memory_budget::reservation moved = memory_budget::reserve(half, "a later run");
    memory_budget::reservation holder = std::move(moved);
    holder.release();
    EXPECT_NO_THROW(memory_budget::reserve(half, "one more run"));
}

TEST(MemoryBudget, MoreThanTheMachineHasIsRefusedAlone) {
    EXPECT_THROW(memory_budget::reserve(memory_budget::free_bytes() * 2 + 1e9, "a huge run"),
                 memory_budget::exceeded);
    EXPECT_NO_THROW(memory_budget::reserve(1024, "a small run"));  // below the ledger's notice
}

}  // namespace
