// The retry policy: only the link's failures are tried again, after pauses that double up to 8 s; and
// the run's stop, which a pause ends at once.
#include "fleet/resultcode.h"
#include "fleet/retrypolicy.h"
#include "fleet/runstop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(RetryPolicy, OnlyALostLinkOrNoConnectionIsTriedAgain) {
    const struct {
        int code;
        bool retried;
    } rows[] = {{kExitOk, false},           {kExitBadConfig, false},   {kExitNoConnection, true},
                {kExitOemRule, false},      {kExitSerialRule, false},  {kExitImageNotFound, false},
                {kExitInvalidImage, false}, {kExitUpdateFailed, true}, {kExitInterrupted, false},
                {kExitInternal, false}};
    for (const auto& row : rows)
        EXPECT_EQ(IsRetried(row.code), row.retried) << row.code;
}

TEST(RetryPolicy, PausesDoubleFromOneSecondToEight) {
    const std::pair<int, std::chrono::milliseconds> rows[] = {{1, 1000ms}, {2, 2000ms}, {3, 4000ms},
                                                              {4, 8000ms}, {5, 8000ms}, {100, 8000ms}};
    for (const auto& [attempts, pause] : rows)
        EXPECT_EQ(RetryPause(attempts), pause) << attempts;
}

TEST(RunStopRequest, TheFirstReasonHoldsAndAWaitEndsAtTheStop) {
    RunStop stop;
    EXPECT_FALSE(stop.WaitFor(1ms));
    std::thread stopper([&] { EXPECT_TRUE(stop.Request({kExitHangUp, 1})); });
    // Bounded by the limit, ended by the stop long before it.
    EXPECT_TRUE(stop.WaitFor(60s));
    stopper.join();
    EXPECT_FALSE(stop.Request({kExitTerminated, 15}));
    ASSERT_TRUE(stop.Reason().has_value());
    EXPECT_EQ(stop.Reason()->Code, kExitHangUp);
    EXPECT_EQ(stop.Reason()->Signal, 1);
}

} // namespace
