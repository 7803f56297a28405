// The retry policy of an update.
#include "fleet/retrypolicy.h"

#include <algorithm>

#include "fleet/resultcode.h"

bool IsRetried(int code) {
    return code == kExitNoConnection || code == kExitUpdateFailed;
}

std::chrono::milliseconds RetryPause(int attemptsSoFar) {
    return std::chrono::milliseconds(1000 << std::clamp(attemptsSoFar - 1, 0, 3));
}
