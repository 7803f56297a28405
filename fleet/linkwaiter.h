// LinkWaiter: the link's notification receiver for a fleet run. Instead of posting into a GUI thread it
// wakes the device thread waiting for the notified handle, which then drains its own device's records:
// a record of one device never wakes the threads of the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "link/connection.h"

class LinkWaiter : public Connection_Main {
public:
    explicit LinkWaiter(ConBase& link) : Connection_Main(link) {}
    ~LinkWaiter() override { Detach(); }

    void OnNotify(int handle) override;
    // Counts the notifications of handle (and every WakeAll); a waiter remembers it before draining
    // and waits for a change.
    uint64_t Generation(int handle);
    // Returns when handle's generation differs from seen, WakeAll was called, or the limit passed.
    void WaitAfter(int handle, uint64_t seen, std::chrono::milliseconds limit);
    // Wakes every waiter (a stop).
    void WakeAll();

private:
    struct Slot {
        uint64_t Count = 0;
        int Waiting = 0;
        bool Woken = false; // notified since its waiter began to wait
        std::condition_variable Changed;
    };
    Slot& SlotFor(int handle); // caller holds Lock

    std::mutex Lock;
    // One slot per handle ever notified or waited for (handles are never reused; a fleet has a
    // thousand at most, each a few dozen bytes).
    std::unordered_map<int, std::unique_ptr<Slot>> Slots;
    uint64_t WakeAlls = 0; // added to every handle's generation
};
