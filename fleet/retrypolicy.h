// Which failed attempts of an update are worth another one, and the pause before it.
#pragma once

#include <chrono>

// What is worth another attempt: the link (no connection, no answer, a link lost or an error reply), not
// the device's or the files' answer. The rules (OEM, serial), the configuration and the image give the
// same refusal every time.
bool IsRetried(int code);

// The pause before attempt attemptsSoFar + 1: 1 s, 2 s, 4 s, then 8 s each time.
std::chrono::milliseconds RetryPause(int attemptsSoFar);
