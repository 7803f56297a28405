// Times as text: a time point in UTC, ISO 8601 with milliseconds, for machine-read output; a duration in
// seconds for people.
#pragma once

#include <chrono>
#include <string>

// "2026-12-08T07:45:12.345Z": the time point in UTC, the milliseconds cut off (not rounded), so a
// text never lies after the time it stands for.
std::string UtcTimeText(std::chrono::system_clock::time_point when);

// "4.5 s": seconds with one decimal.
std::string SecondsText(double seconds);
