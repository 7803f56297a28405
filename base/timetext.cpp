// Times as text: the UTC calendar from the platform layer, the milliseconds from the time point; seconds
// for people.
#include "base/timetext.h"

#include "base/platform.h"

#include <cstdio>

std::string UtcTimeText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    // floor, not a cast: a time before 1970 keeps its second and a positive millisecond part.
    const auto second = floor<seconds>(when);
    const auto millis = duration_cast<milliseconds>(floor<milliseconds>(when) - second).count();
    const std::tm utc = UtcTime(system_clock::to_time_t(second));
    char text[96]; // room for any int fields, so the compiler sees no truncation
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}
