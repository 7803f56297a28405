// Which failed attempts of an update are worth another one, and the pause before it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

// What is worth another attempt: the link (no connection, no answer, a link lost or an error reply), not
// the device's or the files' answer. The rules (OEM, serial), the configuration and the image give the
// same refusal every time.
bool IsRetried(int code);

// How one attempt of an update failed: its code, and where in the programming sequence ("error reply to
// page 51", "link lost after 50 acknowledged pages"); empty Where: before the sequence began.
struct AttemptFailure {
    int Code = 0;
    std::string Where;
    bool operator==(const AttemptFailure&) const = default;
};

// Whether failed is worth another attempt after the attempt before it (none for the first attempt). An
// attempt that fails in the programming sequence exactly as the one before (same code, same place) would
// only erase the flash once more: a device that answers page 51 with an error does so every time. A
// connection that fails is tried again however often it failed: a device may be restarting.
bool IsRetried(const AttemptFailure& failed, const std::optional<AttemptFailure>& before);

// The pause before attempt attemptsSoFar + 1: 1 s, 2 s, 4 s, then 8 s each time.
std::chrono::milliseconds RetryPause(int attemptsSoFar);
