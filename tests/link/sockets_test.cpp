// The socket layer's own behaviour on this platform: the wake-up ends a wait, and a listening
// socket accepts a connection that carries bytes both ways and reports its end, and the poller reports
// only the ready sockets of many.
#include "link/device.h"
#include "link/sockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

TEST(SockWake, ASignalEndsAWaitWithoutTimeLimitAndIsThenUsedUp) {
    SockWake wake;
    ASSERT_TRUE(wake.Ready());
    std::vector<SockWaitEntry> none;
    bool woken = false;
    std::thread other([&] { wake.Signal(); });
    EXPECT_EQ(SockWait(none, -1, &wake, &woken), 0); // would hang without the wake-up
    other.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(SockWait(none, 0, &wake, &woken), 0);
    EXPECT_FALSE(woken);
}

TEST(SockListen, AcceptedConnectionCarriesBytesBothWaysAndReportsItsEnd) {
    int port = 0;
    std::string error;
    const SockHandle listener = SockListen("127.0.0.1", 0, true, 0, &port, &error);
    ASSERT_NE(listener, kNoSock) << error;
    const SockHandle client = SockConnect("127.0.0.1", port, 0);
    ASSERT_NE(client, kNoSock);
    std::vector<SockWaitEntry> set{{listener, true, false, false, false}};
    ASSERT_EQ(SockWait(set, 10000), 1);
    const SockHandle server = SockAccept(listener);
    ASSERT_NE(server, kNoSock);
    EXPECT_EQ(SockPeerText(server).rfind("127.0.0.1:", 0), 0u);

    const uint8_t hello[3] = {1, 2, 3};
    uint8_t got[8] = {};
    for (auto [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
        ASSERT_EQ(SockSend(from, hello, sizeof hello), 3);
        std::vector<SockWaitEntry> in{{to, true, false, false, false}};
        ASSERT_EQ(SockWait(in, 10000), 1);
        EXPECT_EQ(SockRecv(to, got, sizeof got), 3);
        EXPECT_EQ(SockRecv(to, got, sizeof got), kWouldBlock);
    }
    SockClose(client);
    std::vector<SockWaitEntry> in{{server, true, false, false, false}};
    ASSERT_EQ(SockWait(in, 10000), 1);
    EXPECT_EQ(SockRecv(server, got, sizeof got), 0);
    SockClose(server);
    SockClose(listener);

    // A bound socket that does not listen refuses.
    const SockHandle refusing = SockListen("127.0.0.1", 0, false, 0, &port, &error);
    ASSERT_NE(refusing, kNoSock) << error;
    EXPECT_EQ(SockConnect("127.0.0.1", port, 0), kNoSock);
    SockClose(refusing);
}

// Connected pairs over one listener: Near[i] is watched, Far[i] writes to it.
struct SockPairs {
    explicit SockPairs(int n) {
        int port = 0;
        std::string error;
        const SockHandle listener = SockListen("127.0.0.1", 0, true, 0, &port, &error);
        EXPECT_NE(listener, kNoSock) << error;
        // The first connection that fails ends the pairs (and the test, which counts them), instead of a
        // wait for each of the rest.
        for (int i = 0; i < n && listener != kNoSock; ++i) {
            const SockHandle far = SockConnect("127.0.0.1", port, 0);
            std::vector<SockWaitEntry> set{{listener, true, false, false, false}};
            const SockHandle near = far != kNoSock && SockWait(set, 10000) == 1 ? SockAccept(listener) : kNoSock;
            if (near == kNoSock) {
                ADD_FAILURE() << "connection " << i << " failed: " << SockLastErrorText();
                SockClose(far);
                break;
            }
            Far.push_back(far);
            Near.push_back(near);
        }
        SockClose(listener);
    }
    ~SockPairs() {
        for (const SockHandle s : Near)
            SockClose(s);
        for (const SockHandle s : Far)
            SockClose(s);
    }
    std::vector<SockHandle> Near, Far;
};

struct PollerCase {
    const char* Name;
    std::vector<int> Sent;      // pairs whose far end writes a byte
    std::vector<int> Removed;   // pairs taken out of the poller after that
    std::vector<int> WantWrite; // pairs watched for writing too
    std::vector<int> Readable;  // the pairs a wait reports readable, in any order
};

class SockPollerReports : public testing::TestWithParam<PollerCase> {};

// Of many watched sockets, a wait reports only the ready ones, under their keys: nothing that was
// removed with data pending, and writable only where writing was asked.
TEST_P(SockPollerReports, OnlyTheReadySocketsUnderTheirKeys) {
    const PollerCase& c = GetParam();
    constexpr int kPairs = 200;
    SockPairs pairs(kPairs);
    ASSERT_EQ(pairs.Near.size(), size_t{kPairs});
    SockPoller poller;
    ASSERT_TRUE(poller.Ready());
    for (int i = 0; i < kPairs; ++i)
        ASSERT_TRUE(poller.Add(pairs.Near[i], 1000 + i, false));
    const uint8_t one = 1;
    for (const int i : c.Sent)
        ASSERT_EQ(SockSend(pairs.Far[i], &one, 1), 1);
    for (const int i : c.Removed)
        poller.Remove(pairs.Near[i], 1000 + i);
    for (const int i : c.WantWrite)
        ASSERT_TRUE(poller.Add(pairs.Near[i], 1000 + i, true));
    std::set<int> watched;
    for (int i = 0; i < kPairs; ++i)
        watched.insert(i);
    for (const int i : c.Removed)
        watched.erase(i);
    watched.insert(c.WantWrite.begin(), c.WantWrite.end());
    EXPECT_EQ(poller.Size(), watched.size());

    // Bytes on loopback arrive at once, but are waited for, bounded.
    std::set<uint64_t> readable, writable;
    std::vector<SockPoller::Event> ready;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readable.size() < c.Readable.size() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_GE(poller.Wait(ready, 100), 0);
        for (const auto& e : ready) {
            if (e.Readable)
                readable.insert(e.Key);
            if (e.Writable)
                writable.insert(e.Key);
        }
    }
    std::set<uint64_t> wantReadable, wantWritable;
    for (const int i : c.Readable)
        wantReadable.insert(1000 + i);
    for (const int i : c.WantWrite)
        wantWritable.insert(1000 + i);
    EXPECT_EQ(readable, wantReadable);
    EXPECT_EQ(writable, wantWritable);
}

INSTANTIATE_TEST_SUITE_P(Cases, SockPollerReports,
                         testing::Values(PollerCase{"FewOfMany", {3, 77, 199}, {}, {}, {3, 77, 199}},
                                         PollerCase{"RemovedWhilePending", {3, 77, 199}, {77}, {}, {3, 199}},
                                         PollerCase{"WritableOnlyWhereAsked", {5}, {}, {5, 150}, {5}},
                                         PollerCase{"ReaddedAfterRemoval", {8}, {8, 9}, {8}, {8}}),
                         [](const testing::TestParamInfo<PollerCase>& info) {
                             return std::string(info.param.Name);
                         });

// A watched socket closed and its number reused by a new one: the new socket is reported under its own
// key, and a late Remove under the old key leaves it watched.
TEST(SockPoller, AReusedSocketNumberBelongsToTheNewKey) {
    SockPairs first(1);
    SockPoller poller;
    ASSERT_TRUE(poller.Add(first.Near[0], 1, false));
    const SockHandle number = first.Near[0];
    SockClose(first.Near[0]);
    first.Near.clear();
    int port = 0;
    std::string error;
    const SockHandle listener = SockListen("127.0.0.1", 0, true, 0, &port, &error); // the lowest free number
    ASSERT_NE(listener, kNoSock) << error;
    if (listener != number) {
        SockClose(listener);
        GTEST_SKIP() << "this system does not hand out the closed socket's number again";
    }
    ASSERT_TRUE(poller.Add(listener, 2, false));
    poller.Remove(number, 1);
    const SockHandle client = SockConnect("127.0.0.1", port, 0); // the listener turns readable
    std::vector<SockPoller::Event> ready;
    EXPECT_EQ(poller.Wait(ready, 10000), 1);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].Key, 2u);
    EXPECT_TRUE(ready[0].Readable);
    SockClose(client);
    SockClose(listener);
}

} // namespace
