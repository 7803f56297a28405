// Time points as UTC text: the calendar, the milliseconds cut off, past the 32-bit seconds.
#include "base/timetext.h"

#include <gtest/gtest.h>

namespace {

struct TimeCase {
    const char* label;
    int64_t microseconds; // since 1970-01-01T00:00:00Z
    const char* text;
};

class UtcTimeTextCase : public testing::TestWithParam<TimeCase> {};

TEST_P(UtcTimeTextCase, IsIso8601WithMilliseconds) {
    const std::chrono::system_clock::time_point when{std::chrono::microseconds(GetParam().microseconds)};
    EXPECT_EQ(UtcTimeText(when), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UtcTimeTextCase,
    testing::Values(TimeCase{"Epoch", 0, "1970-01-01T00:00:00.000Z"},
                    TimeCase{"Example", 1796715912345000, "2026-12-08T07:45:12.345Z"},
                    TimeCase{"LeapDayLastMillisecond", 1709251199999000, "2024-02-29T23:59:59.999Z"},
                    TimeCase{"MicrosecondsCutOff", 1999999, "1970-01-01T00:00:01.999Z"},
                    TimeCase{"Past32BitSeconds", 2147483648001000, "2038-01-19T03:14:08.001Z"}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
