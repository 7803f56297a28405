// Job slots: at most the limit held at once, a slot let go is taken by a waiter, and a wake-up (the
// run's stop) ends every wait without a slot.
#include "fleet/jobslots.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

using namespace std::chrono_literals;

TEST(JobSlotsLimit, HoldsAtMostTheLimitAndHandsOnASlotLetGo) {
    JobSlots slots(2);
    JobSlot first, second;
    ASSERT_TRUE(slots.TryAcquireFor(0ms));
    first.Hold(slots);
    ASSERT_TRUE(slots.TryAcquireFor(0ms));
    second.Hold(slots);
    EXPECT_FALSE(slots.TryAcquireFor(1ms));
    // The waiter gets the slot as soon as one is let go; the limit only bounds the test.
    auto third = std::async(std::launch::async, [&] { return slots.TryAcquireFor(60s); });
    first.Reset();
    EXPECT_TRUE(third.get());
    EXPECT_FALSE(slots.TryAcquireFor(0ms));

    JobSlots unlimited(0);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(unlimited.TryAcquireFor(0ms));
}

TEST(JobSlotsLimit, AWakeUpEndsEveryWaitWithoutASlot) {
    JobSlots slots(1);
    ASSERT_TRUE(slots.TryAcquireFor(0ms));
    std::promise<void> waiting;
    auto waiter = std::async(std::launch::async, [&] {
        waiting.set_value();
        return slots.TryAcquireFor(60s);
    });
    waiting.get_future().wait();
    // Woken over and over until the waiter has seen a wake-up: it may not be waiting yet at the first.
    while (waiter.wait_for(1ms) != std::future_status::ready)
        slots.WakeAll();
    EXPECT_FALSE(waiter.get());
}

} // namespace
