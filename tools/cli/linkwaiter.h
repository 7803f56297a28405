// LinkWaiter: the link's notification receiver for the command-line tool. Instead of posting into a
// GUI thread it wakes the device threads, each of which then drains its own device's records.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "link/connection.h"

class LinkWaiter : public Connection_Main {
public:
    explicit LinkWaiter(ConBase& link) : Connection_Main(link) {}
    ~LinkWaiter() override { Detach(); }

    void OnNotify(int handle) override;
    // Counts notifications; a waiter remembers it before draining and waits for a change.
    uint64_t Generation();
    // Returns when the generation differs from seen, WakeAll was called, or the limit passed.
    void WaitAfter(uint64_t seen, std::chrono::milliseconds limit);
    void WakeAll();

private:
    std::mutex Lock;
    std::condition_variable Changed;
    uint64_t Count = 0;
};
