// The device registry against a fake device on loopback: open, close, remove and test by
// handle, the CONNECTED and CLOSED events, sends by handle, reconnecting on port 2101,
// replies under fault triggers, and devices coming and going while the link thread runs.
#include "link/asp.h"
#include "link/conbase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>

#include "tests/link/fakedevice.h"
#include "tests/link/records.h"

namespace {

TEST(Registry, OpenCloseRemoveLifecycle) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    std::vector<Got> got;

    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    EXPECT_EQ(link.IsOpen(h), 1);
    Drain(link, got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Handle, h);
    EXPECT_EQ(got[0].Kind, KIND_CONNECTED);
    EXPECT_EQ(got[0].Count, 0);
    EXPECT_EQ(got[0].Len, 0);
    EXPECT_TRUE(FakeDevice::WaitFor([&] { return fake.Accepted(0) == 1; }));

    EXPECT_EQ(link.Remove(h), -2) << "an open device stays";
    EXPECT_EQ(link.IsOpen(h), 1);
    EXPECT_EQ(link.Close(h), 0);
    EXPECT_EQ(link.IsOpen(h), 0);
    EXPECT_EQ(link.Close(h), -2) << "no socket: nothing queued";
    Drain(link, got);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 1);
    EXPECT_EQ(got.size(), 2u);

    EXPECT_EQ(link.Remove(h), 0);
    EXPECT_EQ(link.Remove(h), -1);
    EXPECT_EQ(link.Close(h), -1);
    EXPECT_EQ(link.IsOpen(h), 0);
    EXPECT_EQ(link.RequestI32(h, 1, 12), -1);

    const int again = link.Open("127.0.0.1", port);
    EXPECT_GT(again, h) << "handles are never reused";
    Drain(link, got);
    EXPECT_EQ(CountOf(got, again, KIND_CONNECTED), 1);
}

struct OpenFailCase {
    std::string Name;
    std::string Address;
    int Port; // -1: the refusing port
};

class OpenFails : public testing::TestWithParam<OpenFailCase> {};

TEST_P(OpenFails, ReturnsZeroAndLeavesNoTrace) {
    RefusingPort refusing;
    ConBase link(FastTicks());
    const int port = GetParam().Port == -1 ? refusing.Port() : GetParam().Port;
    EXPECT_EQ(link.Open(GetParam().Address, port), 0);
    EXPECT_EQ(link.GetMsgCount(), 0);
    for (int h = 1; h < 3; ++h)
        EXPECT_EQ(link.Remove(h), -1) << "nothing registered";
}

INSTANTIATE_TEST_SUITE_P(Registry, OpenFails,
                         testing::Values(OpenFailCase{"ConnectionRefused", "127.0.0.1", -1},
                                         OpenFailCase{"UnresolvableName", "no such host!", 2000},
                                         OpenFailCase{"EmptyAddress", "", 2000},
                                         OpenFailCase{"OnlyBlanks", " \t ", 2000},
                                         OpenFailCase{"BlankInsideTheAddress", " 127.0.0. 1 ", 2000},
                                         OpenFailCase{"BlankInsideTheName", "local host", 2000},
                                         OpenFailCase{"PortZero", "127.0.0.1", 0},
                                         OpenFailCase{"NegativePort", "127.0.0.1", -1000},
                                         OpenFailCase{"PortAbove65535", "127.0.0.1", 65536 + 2000},
                                         OpenFailCase{"NullIntegerPort", "127.0.0.1", INT_MIN}),
                         [](const testing::TestParamInfo<OpenFailCase>& i) { return i.param.Name; });

struct BlanksCase {
    std::string Name;
    std::string Typed;
    std::string Plain;
};

class OpenTrims : public testing::TestWithParam<BlanksCase> {};

TEST_P(OpenTrims, BlanksAroundTheAddressAreNoPartOfIt) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    const int h = link.Open(GetParam().Typed, port);
    ASSERT_GT(h, 0);
    EXPECT_TRUE(FakeDevice::WaitFor([&] { return fake.Accepted(0) == 1; }));
    // The device keeps the trimmed text: the plain text names the same device, still open.
    EXPECT_EQ(link.Open(GetParam().Plain, port), 0);
    EXPECT_EQ(link.IsOpen(h), 1);
}

INSTANTIATE_TEST_SUITE_P(Registry, OpenTrims,
                         testing::Values(BlanksCase{"TrailingSpace", "127.0.0.1 ", "127.0.0.1"},
                                         BlanksCase{"LeadingTab", "\t127.0.0.1", "127.0.0.1"},
                                         BlanksCase{"BothEnds", " \t127.0.0.1\t ", "127.0.0.1"},
                                         BlanksCase{"HostName", "  localhost\t", "localhost"}),
                         [](const testing::TestParamInfo<BlanksCase>& i) { return i.param.Name; });

// Another thread that takes a CONNECTED record finds its handle registered: the device is registered
// before the record is queued.
TEST(Registry, TheHandleOfAConnectedRecordIsRegistered) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    std::atomic<bool> done{false};
    std::atomic<int> connected{0};
    std::atomic<int> unknown{0};
    std::thread taker([&] {
        std::vector<uint8_t> buf(70000);
        Msg m;
        while (!done.load()) {
            m.Buf.pU8 = buf.data();
            if (link.GetMsg(m, static_cast<int>(buf.size())) != 0 || m.Kind != KIND_CONNECTED)
                continue;
            if (link.IsOpen(m.Handle) == 0)
                ++unknown;
            ++connected;
        }
    });
    for (int i = 0; i < 200; ++i) {
        const int h = link.Open("127.0.0.1", port);
        ASSERT_GT(h, 0);
        ASSERT_TRUE(FakeDevice::WaitFor([&] { return connected.load() == i + 1; }));
        link.Close(h);
        link.Remove(h);
    }
    done = true;
    taker.join();
    EXPECT_EQ(unknown.load(), 0);
}

TEST(Registry, CloseEndsTheConnectionNormally) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_EQ(link.RequestI32(h, 1, 12), 12);
    // Answered: the reply may still lie unread at this end when it closes.
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() == 1; }));
    ASSERT_EQ(link.Close(h), 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.EndsOfStream() + fake.Resets() == 1; }));

    // A device no link thread reads: its reply certainly lies unread when it closes.
    Asp dev(99, link);
    ASSERT_EQ(dev.Connect("127.0.0.1", port), 0);
    ASSERT_EQ(dev.RequestI32(1, 12), 12);
    std::vector<SockHandle> writeSet;
    ASSERT_EQ(dev.FillWriteSet(writeSet), 1);
    while (!dev.TxFrame.empty())
        ASSERT_GE(dev.Send(), 0);
    ASSERT_TRUE(fake.WaitPass()); // read, answered and the answer written
    ASSERT_EQ(fake.Messages().size(), 2u);
    EXPECT_EQ(dev.Close(), 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.EndsOfStream() + fake.Resets() == 2; }));
    EXPECT_EQ(fake.EndsOfStream(), 2);
    EXPECT_EQ(fake.Resets(), 0);
}

TEST(Registry, AGentleCloseDeliversWhatWasQueuedEndsWithoutResetAndWaitsNoLongerThanItsLimit) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1", 0, 4096);
    fake.SetReply(FakeReply::Silent);
    LinkOptions options = FastTicks();
    options.SendBufferSize = 4096;
    ConBase link(options);
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    // The device reads nothing for a while: what was queued lies in the link when the close begins.
    fake.SetReading(false);
    const std::vector<uint8_t> page(2488, 0x5A);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(link.WriteI8(h, 2, 10 + i, 2488, page.data()), 2500);
    ASSERT_EQ(link.CloseGently(h, std::chrono::seconds(30)), 0);
    EXPECT_EQ(link.WriteI8(h, 2, 99, 2488, page.data()), -1) << "nothing more is queued";
    EXPECT_EQ(link.IsOpen(h), 1) << "open until the device has read the end";
    fake.SetReading(true);
    ASSERT_EQ(link.WaitClosed(h, std::chrono::seconds(20)), 0);
    EXPECT_EQ(fake.Messages().size(), 40u);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.EndsOfStream() + fake.Resets() == 1; }));
    EXPECT_EQ(fake.Resets(), 0);
    EXPECT_EQ(link.ClosedReason(h), CLOSED_BY_CALLER);
    std::vector<Got> got;
    Drain(link, got);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().Kind, KIND_CLOSED);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Got& g) { return g.Kind == KIND_CLOSED; }), 1);

    // A device that never reads the end: the close gives up at its limit.
    const int h2 = link.Open("127.0.0.2", fake.Listen("127.0.0.2"));
    ASSERT_GT(h2, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    fake.SetReading(false);
    ASSERT_EQ(link.CloseGently(h2, std::chrono::milliseconds(100)), 0);
    EXPECT_EQ(link.CloseGently(h2, std::chrono::milliseconds(100)), 0) << "closing already";
    EXPECT_EQ(link.WaitClosed(h2, std::chrono::seconds(20)), 0);
    EXPECT_EQ(link.CloseGently(h2, std::chrono::milliseconds(100)), -2) << "closed";
    fake.SetReading(true);
}

TEST(Registry, ARemovedDevicesRecordsGoWithItAndTheOldestOfTheOthersStillComesFirst) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    const int gone = link.Open("127.0.0.1", port);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(link.Close(gone), 0);
    std::vector<Got> got;
    Drain(link, got); // CONNECTED, CLOSED
    // A record read just before the close comes after its CLOSED; thousands of another handle's behind it.
    Msg late;
    late.Handle = gone;
    late.Kind = KIND_WOK;
    link.PushMsg(gone, late);
    const int other = gone + 100;
    for (int i = 0; i < 3000; ++i) {
        Msg m;
        m.Handle = other;
        m.Kind = KIND_WOK;
        m.Par = static_cast<uint16_t>(i);
        link.PushMsg(other, m);
    }
    ASSERT_EQ(link.Remove(gone), 0);
    link.PushMsg(gone, late); // after its removal: dropped at once
    EXPECT_EQ(link.GetMsgCount(gone), 0);
    EXPECT_EQ(link.GetMsgCount(), 3000);
    got.clear();
    Drain(link, got);
    ASSERT_EQ(got.size(), 3000u);
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(got[i].Par, i);
}

TEST(Registry, WaitSentTellsWhenTheQueueHasReachedTheSocket) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1", 0, 4096);
    // The usual tick: the device answers nothing while it takes the 250 KB, which a busy machine (Wine under
    // load) can take longer for than the fast tick's one second of silence.
    LinkOptions options;
    options.SendBufferSize = 4096;
    ConBase link(options);
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    EXPECT_EQ(link.WaitSent(h + 1, std::chrono::milliseconds(10)), -1) << "unregistered";
    EXPECT_EQ(link.WaitSent(h, std::chrono::milliseconds(0)), 0) << "nothing queued";
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    fake.SetReading(false);
    const std::vector<uint8_t> page(2488, 0x5A);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(link.WriteI8(h, 2, 10, 2488, page.data()), 2500);
    EXPECT_EQ(link.WaitSent(h, std::chrono::milliseconds(50)), -1) << "the device reads nothing";
    fake.SetReading(true);
    EXPECT_EQ(link.WaitSent(h, std::chrono::seconds(10)), 0);
    ASSERT_EQ(link.Close(h), 0);
    EXPECT_EQ(link.WaitSent(h, std::chrono::milliseconds(10)), -1) << "closed";
    EXPECT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() == 100; }));
}

TEST(Registry, ABurstLeavesInOneFrameInQueueOrder) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(FakeReply::Silent);
    LinkOptions options;
    options.ManualTicks = true;                // no keep-alive in between
    options.MaxHold = std::chrono::minutes(1); // however slow the test runs
    ConBase link(options);
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    EXPECT_EQ(link.Hold(h + 1), -1) << "unregistered";
    {
        LinkBurst burst(link, h);
        ASSERT_EQ(link.RequestI32(h, 1, 0), 12);
        // The first request has woken the link thread; let it make whole passes meanwhile.
        ASSERT_TRUE(WaitPass(link));
        ASSERT_TRUE(WaitPass(link));
        EXPECT_EQ(link.WaitSent(h, std::chrono::milliseconds(0)), -1) << "held: nothing framed yet";
        for (int par = 1; par < 9; ++par)
            ASSERT_EQ(link.RequestI32(h, 1, par), 12);
    }
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() == 9; }));
    EXPECT_EQ(fake.Frames().size(), 1u);
    const std::vector<FakeMsg> m = fake.Messages();
    for (int par = 0; par < 9; ++par)
        EXPECT_EQ(m[par].Par, par);
}

TEST(Registry, AForgottenHoldLetsGoOfTheDevice) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    LinkOptions options = FastTicks();
    options.MaxHold = std::chrono::milliseconds(20);
    ConBase link(options);
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_EQ(link.Hold(h), 0); // never released
    ASSERT_EQ(link.RequestI32(h, 1, 12), 12);
    EXPECT_EQ(link.WaitSent(h, std::chrono::seconds(10)), 0);
}

TEST(Registry, SendsByHandleQueueTheMessagesInOrder) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(FakeReply::Silent);
    ConBase link(FastTicks());
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    EXPECT_EQ(link.RequestI32(h + 1, 1, 12), -1);
    const int32_t words[] = {1, -2, 3};
    const uint8_t page[] = {9, 8, 7, 6, 5};
    EXPECT_EQ(link.RequestI32(h, 1, 12), 12);
    EXPECT_EQ(link.WriteI32(h, 2, 3, 3, words), 24);
    EXPECT_EQ(link.WriteI8(h, 4, 5, 5, page), 17);
    EXPECT_EQ(link.WriteI8(h, 4, 5, 2489, nullptr), -1) << "too large for a frame";
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() >= 3; }));
    const std::vector<FakeMsg> m = fake.Messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].KindByte, 0x18);
    EXPECT_EQ(m[0].Obj, 1);
    EXPECT_EQ(m[0].Par, 12);
    EXPECT_EQ(m[1].KindByte, 0x99);
    EXPECT_EQ(m[1].Data, (std::vector<uint8_t>{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0}));
    EXPECT_EQ(m[2].KindByte, 0x89);
    EXPECT_EQ(m[2].Data, std::vector<uint8_t>(page, page + 5));
    EXPECT_EQ(fake.BadFrames(), 0);
}

class Replies : public testing::TestWithParam<FakeReply> {};

TEST_P(Replies, EachRequestYieldsExactlyItsValueWhateverTheDeviceDoesAroundIt) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(GetParam());
    fake.SetLateMs(30);
    ConBase link(FastTicks());
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    std::vector<Got> got;
    for (int par = 10; par < 13; ++par)
        ASSERT_EQ(link.RequestI32(h, 1, par), 12);
    ASSERT_TRUE(
        DrainUntil(link, got, [&](const std::vector<Got>& g) { return CountOf(g, h, KIND_VALUE) >= 3; }));
    std::vector<int> pars;
    for (const Got& g : got) {
        if (g.Kind != KIND_VALUE)
            continue;
        EXPECT_EQ(g.Type, TYPE_I32);
        EXPECT_EQ(g.Count, 1);
        EXPECT_EQ(g.Value, FakeDevice::ValueFor(0, 1, static_cast<uint16_t>(g.Par)));
        pars.push_back(g.Par);
    }
    EXPECT_EQ(pars, (std::vector<int>{10, 11, 12}));
    EXPECT_EQ(link.IsOpen(h), 1);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 0);
}

std::string ReplyName(const testing::TestParamInfo<FakeReply>& i) {
    static const char* const names[] = {"Value",     "Silent",  "Late",    "OneByteAtATime",
                                        "Truncated", "Garbage", "WrongEnd"};
    return names[static_cast<int>(i.param)];
}

INSTANTIATE_TEST_SUITE_P(Registry, Replies,
                         testing::Values(FakeReply::Value, FakeReply::Late, FakeReply::OneByteAtATime,
                                         FakeReply::Truncated, FakeReply::Garbage, FakeReply::WrongEnd),
                         ReplyName);

TEST(Registry, ASecondOpenOfARegisteredAddressReconnectsOnPort2101) {
    FakeDevice fake;
    const int first = fake.Listen("127.0.0.2");
    ASSERT_EQ(fake.Listen("127.0.0.2", 2101), 2101) << "127.0.0.2:2101 is taken";
    ConBase link(FastTicks());
    std::vector<Got> got;
    const int h = link.Open("127.0.0.2", first);
    ASSERT_GT(h, 0);
    EXPECT_EQ(link.Open("127.0.0.2", first), 0) << "still open: no second device";
    ASSERT_EQ(link.Close(h), 0);
    Drain(link, got);

    EXPECT_EQ(link.Open("127.0.0.2", first), h);
    EXPECT_EQ(link.IsOpen(h), 1);
    EXPECT_TRUE(FakeDevice::WaitFor([&] { return fake.Accepted(1) == 1; }));
    EXPECT_EQ(fake.Accepted(0), 1);
    ASSERT_EQ(link.RequestI32(h, 1, 12), 12);
    ASSERT_TRUE(
        DrainUntil(link, got, [&](const std::vector<Got>& g) { return CountOf(g, h, KIND_VALUE) == 1; }));
    EXPECT_EQ(got.back().Value, FakeDevice::ValueFor(1, 1, 12)) << "answered through the 2101 listener";
    EXPECT_EQ(CountOf(got, h, KIND_CONNECTED), 1) << "reconnecting queues no CONNECTED";
}

TEST(Registry, ReconnectFailsWhenNothingListensOn2101) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.3");
    ConBase link(FastTicks());
    const int h = link.Open("127.0.0.3", port);
    ASSERT_GT(h, 0);
    ASSERT_EQ(link.Close(h), 0);
    EXPECT_EQ(link.Open("127.0.0.3", port), 0);
    EXPECT_EQ(link.IsOpen(h), 0);
    EXPECT_EQ(link.Remove(h), 0);
}

TEST(Registry, TwoDifferentHostNamesAreTwoDevices) {
    FakeDevice fake;
    const int a = fake.Listen("127.0.0.1");
    const int b = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    const int h1 = link.Open("localhost", a);
    const int h2 = link.Open("LocalHost", b);
    ASSERT_GT(h1, 0);
    ASSERT_GT(h2, 0);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(link.IsOpen(h1), 1);
    EXPECT_EQ(link.IsOpen(h2), 1);
    EXPECT_EQ(link.Open("localhost", a), 0) << "the same name is the same device, still open";
}

TEST(Registry, PeerAndLocalCloseAtOnceGiveOneClosed) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    FakeDevice companion;
    const int companionPort = companion.Listen("127.0.0.1");
    ConBase link(FastTicks());
    std::vector<Got> got;
    // A second device keeps a socket open, so the link thread keeps counting ticks.
    ASSERT_GT(link.Open("localhost", companionPort), 0);
    for (int round = 0; round < 20; ++round) {
        const int h = link.Open("127.0.0.1", port);
        ASSERT_GT(h, 0);
        ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Accepted(0) == round + 1; }));
        std::thread peer([&] { fake.CloseAll(); });
        link.Close(h);
        peer.join();
        ASSERT_TRUE(FakeDevice::WaitFor([&] { return link.IsOpen(h) == 0; }));
        // Give the link thread the chance to report the peer's close as well.
        ASSERT_TRUE(WaitTicks(link, link.TicksProcessed(), 5));
        Drain(link, got);
        ASSERT_EQ(CountOf(got, h, KIND_CLOSED), 1) << "round " << round;
        ASSERT_EQ(link.Remove(h), 0);
    }
}

TEST(Registry, DevicesComeAndGoWhileAnotherStreams) {
    FakeDevice fake;
    const int busyPort = fake.Listen("127.0.0.1");
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    const int busy = link.Open("localhost", busyPort);
    ASSERT_GT(busy, 0);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        std::vector<Got> sink;
        while (!stop) {
            link.RequestI32(busy, 1, 1);
            Drain(link, sink);
            sink.clear();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 30; ++i) {
        const int h = link.Open("127.0.0.1", port);
        ASSERT_GT(h, 0);
        link.RequestI32(h, 2, 2);
        EXPECT_EQ(link.Close(h), 0);
        EXPECT_EQ(link.Remove(h), 0);
    }
    stop = true;
    worker.join();
    EXPECT_EQ(link.IsOpen(busy), 1);
}

TEST(Registry, ManagerGoesDownWithDevicesOpenAndTrafficFlowing) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    {
        ConBase link(FastTicks());
        const int h = link.Open("127.0.0.1", port);
        ASSERT_GT(h, 0);
        for (int i = 0; i < 200; ++i)
            link.RequestI32(h, 1, i);
        FakeDevice::WaitFor([&] { return link.GetMsgCount() > 20; });
    }
    EXPECT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 0; })) << "its sockets are closed";
}

TEST(Registry, TheManagersEndDeliversWhatWasQueued) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(FakeReply::Silent);
    const int pages = 200;
    {
        ConBase link(FastTicks());
        const int h = link.Open("127.0.0.1", port);
        ASSERT_GT(h, 0);
        const std::vector<uint8_t> page(2488, 0xA5);
        for (int i = 0; i < pages; ++i)
            ASSERT_EQ(link.WriteI8(h, 2, i, 2488, page.data()), 2500);
    }
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.EndsOfStream() + fake.Resets() == 1; }));
    EXPECT_EQ(fake.Resets(), 0);
    const std::vector<FakeMsg> m = fake.Messages();
    ASSERT_EQ(m.size(), static_cast<size_t>(pages));
    for (int i = 0; i < pages; ++i)
        EXPECT_EQ(m[i].Par, i);
}

} // namespace
