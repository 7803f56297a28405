// The socket layer's own behaviour on this platform: the wake-up ends a wait, and a listening
// socket accepts a connection that carries bytes both ways and reports its end.
#include "link/device.h"
#include "link/sockets.h"

#include <gtest/gtest.h>

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

} // namespace
