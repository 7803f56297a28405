// EraseGate: an update clock for the window's tests under which the programming sequence runs at once,
// except that the device's erase (the 4000 ms pause) lasts until the test opens the gate. The update is then
// known to be running for as long as the test needs.
#pragma once

#include <condition_variable>
#include <mutex>

#include "tests/update/testdevice.h"

class EraseGate {
public:
    EraseGate() {
        clock.OnSleep = [this](size_t, int64_t milliseconds) {
            if (milliseconds < 4000)
                return;
            std::unique_lock hold(lock);
            erasing = true;
            opened.wait(hold, [this] { return open; });
        };
    }
    EraseGate(const EraseGate&) = delete;
    EraseGate& operator=(const EraseGate&) = delete;

    // The clock to give the update session.
    FakeClock& Clock() { return clock; }
    // The sequence waits at the erase.
    bool Erasing() {
        std::lock_guard hold(lock);
        return erasing;
    }
    // Lets the erase end. A test opens it before its presenter goes, also when it failed early, so that no
    // worker is left waiting.
    void Open() {
        {
            std::lock_guard hold(lock);
            open = true;
        }
        opened.notify_all();
    }

private:
    FakeClock clock;
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    bool erasing = false;
};
