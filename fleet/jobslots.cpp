// JobSlots: a counting semaphore whose waits end at a time limit or at a wake-up.
#include "fleet/jobslots.h"

bool JobSlots::TryAcquireFor(std::chrono::milliseconds wait) {
    std::unique_lock hold(Lock);
    const unsigned wakes = Wakes;
    Freed.wait_for(hold, wait, [&] { return Limit <= 0 || Busy < Limit || Wakes != wakes; });
    if (Limit > 0 && Busy >= Limit)
        return false;
    ++Busy;
    return true;
}

void JobSlots::Release() {
    {
        std::lock_guard hold(Lock);
        --Busy;
    }
    Freed.notify_all();
}

void JobSlots::WakeAll() {
    {
        std::lock_guard hold(Lock);
        ++Wakes;
    }
    Freed.notify_all();
}
