// WaitUntil: the tests' bounded wait for a condition, checked every millisecond (never a sleep as
// synchronisation: it returns as soon as the condition holds).
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// True when cond holds within limit. A condition that costs more to look at (another process's window) may be
// looked at less often than every millisecond.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::seconds(10),
                      std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}
