// TestUiThread: what a recording view of the tests posts to the UI thread, run when the test, which plays the
// UI thread, waits: functions posted from any thread, and timers that fall due.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class TestUiThread {
public:
    // From any thread.
    void Post(std::function<void()> fn) {
        {
            std::lock_guard hold(lock);
            queue.push_back(std::move(fn));
        }
        posted.notify_all();
    }
    // fn runs once milliseconds have passed.
    void PostAfter(int milliseconds, std::function<void()> fn) {
        std::lock_guard hold(lock);
        timers.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds),
                            std::move(fn));
    }
    // Runs what is posted until cond holds: true, or false after limit.
    bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            RunPosted();
            if (cond())
                return true;
            std::unique_lock hold(lock);
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            // Woken by the next post; a condition that changes without one (another thread's state, a timer)
            // is looked at again after a millisecond.
            posted.wait_for(hold, std::chrono::milliseconds(1), [this] { return !queue.empty(); });
        }
    }
    // Runs what has been posted so far and the timers that are due.
    void RunPosted() {
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard hold(lock);
                if (!queue.empty()) {
                    fn = std::move(queue.front());
                    queue.pop_front();
                } else {
                    const auto now = std::chrono::steady_clock::now();
                    for (auto it = timers.begin(); it != timers.end() && !fn; ++it) {
                        if (it->first <= now) {
                            fn = std::move(it->second);
                            timers.erase(it);
                            break;
                        }
                    }
                }
            }
            if (!fn)
                return;
            fn();
        }
    }

private:
    std::mutex lock; // queue, timers
    std::condition_variable posted;
    std::deque<std::function<void()>> queue;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::function<void()>>> timers;
};
