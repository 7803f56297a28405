// LinkWaiter: wakes the device thread of the handle whose record the link has queued.
#include "fleet/linkwaiter.h"

LinkWaiter::Slot& LinkWaiter::SlotFor(int handle) {
    std::unique_ptr<Slot>& slot = Slots[handle];
    if (!slot)
        slot = std::make_unique<Slot>();
    return *slot;
}

void LinkWaiter::OnNotify(int handle) {
    Slot* wake = nullptr;
    {
        std::lock_guard hold(Lock);
        Slot& slot = SlotFor(handle);
        ++slot.Count;
        // The nine answers of an identification come as nine records: the waiter is woken once, and then
        // takes whatever has come by the time it runs.
        if (slot.Waiting > 0 && !slot.Woken) {
            slot.Woken = true;
            wake = &slot;
        }
    }
    // Outside the lock, so that the woken thread does not run into it at once.
    if (wake != nullptr)
        wake->Changed.notify_all();
}

void LinkWaiter::WakeAll() {
    std::lock_guard hold(Lock);
    ++WakeAlls;
    for (auto& [handle, slot] : Slots)
        if (slot->Waiting > 0)
            slot->Changed.notify_all();
}

uint64_t LinkWaiter::Generation(int handle) {
    std::lock_guard hold(Lock);
    return SlotFor(handle).Count + WakeAlls;
}

void LinkWaiter::WaitAfter(int handle, uint64_t seen, std::chrono::milliseconds limit) {
    std::unique_lock hold(Lock);
    Slot& slot = SlotFor(handle); // stays: slots are never erased
    ++slot.Waiting;
    slot.Woken = false;
    slot.Changed.wait_for(hold, limit, [&] { return slot.Count + WakeAlls != seen; });
    --slot.Waiting;
}
