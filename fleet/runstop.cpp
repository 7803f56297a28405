// RunStop: a sticky stop request with a wait that ends at it.
#include "fleet/runstop.h"

bool RunStop::Request(const StopReason& reason) {
    {
        std::lock_guard hold(Lock);
        if (Recorded)
            return false;
        Recorded = reason;
    }
    Changed.notify_all();
    return true;
}

std::optional<StopReason> RunStop::Reason() const {
    std::lock_guard hold(Lock);
    return Recorded;
}

bool RunStop::Requested() const {
    return Reason().has_value();
}

bool RunStop::WaitFor(std::chrono::milliseconds limit) const {
    std::unique_lock hold(Lock);
    return Changed.wait_for(hold, limit, [this] { return Recorded.has_value(); });
}
