// LinkWaiter: wakes the device threads whenever the link has queued a record.
#include "tools/cli/linkwaiter.h"

void LinkWaiter::OnNotify(int) {
    {
        std::lock_guard hold(Lock);
        ++Count;
    }
    Changed.notify_all();
}

void LinkWaiter::WakeAll() {
    OnNotify(0);
}

uint64_t LinkWaiter::Generation() {
    std::lock_guard hold(Lock);
    return Count;
}

void LinkWaiter::WaitAfter(uint64_t seen, std::chrono::milliseconds limit) {
    std::unique_lock hold(Lock);
    Changed.wait_for(hold, limit, [&] { return Count != seen; });
}
