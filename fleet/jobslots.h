// JobSlots: how many devices a run programs at once; the others wait their turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class JobSlots {
public:
    // limit 0: no limit, every device takes a slot at once.
    explicit JobSlots(int limit) : Limit(limit) {}

    // Takes a slot, waiting at most wait: true when taken. WakeAll ends every wait early.
    bool TryAcquireFor(std::chrono::milliseconds wait);
    void Release();
    // Ends every wait (a stop): the waiters look at their stop request.
    void WakeAll();

private:
    const int Limit;
    std::mutex Lock;
    std::condition_variable Freed;
    int Busy = 0;
    unsigned Wakes = 0;
};

// Holds one slot from a successful TryAcquireFor until it goes.
class JobSlot {
public:
    JobSlot() = default;
    explicit JobSlot(JobSlots& slots) : Slots(&slots) {}
    ~JobSlot() { Reset(); }
    JobSlot(const JobSlot&) = delete;
    JobSlot& operator=(const JobSlot&) = delete;
    // Holds a slot of slots taken with TryAcquireFor (and lets go of one held before).
    void Hold(JobSlots& slots) {
        Reset();
        Slots = &slots;
    }
    void Reset() {
        if (Slots != nullptr)
            Slots->Release();
        Slots = nullptr;
    }

private:
    JobSlots* Slots = nullptr;
};
