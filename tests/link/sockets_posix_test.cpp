// The socket layer's waits on POSIX: a signal ends a wait early, and the wait then goes on for what was
// left of its time, never for the whole of it again (a program stopped and continued, or signalled
// often, would otherwise wait without end).
#include "link/sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

void Ignore(int) {}

TEST(SockPoller, AWaitEndedBySignalsGoesOnForWhatIsLeftOfIt) {
    struct sigaction quiet {};
    quiet.sa_handler = Ignore; // no SA_RESTART: the wait returns EINTR at each signal
    sigemptyset(&quiet.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &before), 0);

    std::atomic<bool> returned{false};
    std::atomic<bool> gaveUp{false};
    const pthread_t waiter = pthread_self();
    // A signal every 20 ms, until the wait of 300 ms is over or 10 s have passed.
    std::thread signaller([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!returned.load()) {
            if (std::chrono::steady_clock::now() > limit) {
                gaveUp = true;
                return;
            }
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    SockPoller poller;
    std::vector<SockPoller::Event> ready;
    EXPECT_EQ(poller.Wait(ready, 300, nullptr), 0);
    returned = true;
    signaller.join();
    sigaction(SIGUSR1, &before, nullptr);
    EXPECT_FALSE(gaveUp.load()) << "the wait began anew at every signal";
}

} // namespace
