// The retry policy: only the link's failures are tried again, and not one that repeats the last at the
// same place of the programming sequence, after pauses that double up to 8 s; and
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

TEST(RetryPolicy, AFailureRepeatedAtTheSamePlaceOfTheSequenceIsNotTriedAgain) {
    const AttemptFailure page51{kExitUpdateFailed, "error reply to page 51"};
    const AttemptFailure refused{kExitNoConnection, ""};
    const struct {
        AttemptFailure failed;
        std::optional<AttemptFailure> before;
        bool retried;
    } rows[] = {
        {page51, std::nullopt, true},
        {page51, page51, false},
        {page51, AttemptFailure{kExitUpdateFailed, "error reply to page 50"}, true},
        {page51, AttemptFailure{kExitUpdateFailed, "link lost after 50 acknowledged pages"}, true},
        {AttemptFailure{kExitUpdateFailed, "link lost after 7 acknowledged pages"},
         AttemptFailure{kExitUpdateFailed, "link lost after 7 acknowledged pages"}, false},
        {page51, refused, true},
        // A connection that fails is tried again however often: the device may be restarting.
        {refused, refused, true},
        {AttemptFailure{kExitOemRule, ""}, std::nullopt, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsRetried(row.failed, row.before), row.retried)
            << row.failed.Where << " after " << (row.before ? row.before->Where : "nothing");
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
