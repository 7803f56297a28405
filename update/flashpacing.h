// The programming sequence's fixed pauses, each counted from the write it follows: what a device needs
// between the messages of an update, and so the least time an update takes.
#pragma once

#include <chrono>
#include <cstdint>

// After each of the date, the version and the revision.
constexpr std::chrono::milliseconds kAnnounceDelay{1};
// After the firmware name.
constexpr std::chrono::milliseconds kNameDelay{10};
// After the erase: the device erases its flash meanwhile.
constexpr std::chrono::milliseconds kEraseDelay{4000};
// After every page.
constexpr std::chrono::milliseconds kPageDelay{50};
// After the end of the image, before the update end.
constexpr std::chrono::milliseconds kEndDelay{500};

// The pauses before the first page: the announcement's three, the name's and the erase's.
constexpr std::chrono::milliseconds kPausesBeforePages = 3 * kAnnounceDelay + kNameDelay + kEraseDelay;

// Every pause of an update of this many pages.
constexpr std::chrono::milliseconds UpdatePauses(int64_t pages) {
    return kPausesBeforePages + pages * kPageDelay + kEndDelay;
}
