// The clock that paces the flash programming sequence. The program sleeps for real; tests put in
// a clock that only advances its own time, so the sequence runs at once.
#pragma once

#include <chrono>

class UpdateClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~UpdateClock() = default;
    virtual TimePoint Now() = 0;
    // Returns no earlier than t (by this clock's time).
    virtual void SleepUntil(TimePoint t) = 0;
};
