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

// How many pages the device may be behind the tool: page k is queued only once page k - kAckWindow has
// been acknowledged. Four pages (about 1.1 KB with their frames) fit the 2 KB receive buffer of a small
// embedded network stack, and at the 50 ms pace a device may take up to 200 ms to acknowledge a page before
// the tool waits for it: a prompt device, which acknowledges within a few milliseconds, never waits.
constexpr int64_t kAckWindow = 4;

// The pauses before the first page: the announcement's three, the name's and the erase's.
constexpr std::chrono::milliseconds kPausesBeforePages = 3 * kAnnounceDelay + kNameDelay + kEraseDelay;

// Every pause of an update of this many pages.
constexpr std::chrono::milliseconds UpdatePauses(int64_t pages) {
    return kPausesBeforePages + pages * kPageDelay + kEndDelay;
}
