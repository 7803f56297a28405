// The retry policy of an update.
#include "fleet/retrypolicy.h"

#include <algorithm>

#include "fleet/resultcode.h"

bool IsRetried(int code) {
    return code == kExitNoConnection || code == kExitUpdateFailed;
}

bool IsRetried(const AttemptFailure& failed, const std::optional<AttemptFailure>& before) {
    if (!IsRetried(failed.Code))
        return false;
    return failed.Where.empty() || !before || *before != failed;
}

std::chrono::milliseconds RetryPause(int attemptsSoFar) {
    return std::chrono::milliseconds(1000 << std::clamp(attemptsSoFar - 1, 0, 3));
}
