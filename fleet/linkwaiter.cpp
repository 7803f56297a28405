// LinkWaiter: wakes the device thread of the handle whose record the link has queued.
#include "fleet/linkwaiter.h"

LinkWaiter::Slot& LinkWaiter::SlotFor(int handle) {
    std::unique_ptr<Slot>& slot = Slots[handle];
    if (!slot)
        slot = std::make_unique<Slot>();
    return *slot;
}

void LinkWaiter::OnNotify(int handle) {
    std::lock_guard hold(Lock);
    Slot& slot = SlotFor(handle);
    ++slot.Count;
    if (slot.Waiting > 0)
        slot.Changed.notify_all();
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
    slot.Changed.wait_for(hold, limit, [&] { return slot.Count + WakeAlls != seen; });
    --slot.Waiting;
}
