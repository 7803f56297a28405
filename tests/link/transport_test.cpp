// The TCP transport against a fake device on loopback: keep-alive cadence, the silence
// time-out, the peer hanging up, frames that the socket takes only in part, several
// messages in one frame, and more devices at once than select could watch.
#include "link/asp.h"
#include "link/conbase.h"
#include "link/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

#include "tests/link/fakedevice.h"
#include "tests/link/records.h"

namespace {

bool IsKeepAlive(const FakeMsg& m) {
    return m.KindByte == 0x18 && m.Obj == 0 && m.Par == 1;
}

std::vector<FakeMsg> KeepAlives(const FakeDevice& fake) {
    std::vector<FakeMsg> k;
    for (const FakeMsg& m : fake.Messages())
        if (IsKeepAlive(m))
            k.push_back(m);
    return k;
}

TEST(Transport, AnIdleDeviceGetsTheKeepAliveFrameEvery200Ticks) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(FastTicks());
    fake.SetClock([&] { return link.TicksProcessed(); });
    const uint64_t start = link.TicksProcessed();
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return KeepAlives(fake).size() >= 3; }, std::chrono::seconds(20)));
    const std::vector<FakeMsg> k = KeepAlives(fake);
    // Keep-alive i goes out once 200 (i + 1) ticks have passed; stamped on arrival, so
    // its stamp can only be later.
    for (size_t i = 0; i < k.size(); ++i)
        EXPECT_GE(k[i].Stamp, start + 200 * (i + 1)) << "keep-alive " << i;
    const std::vector<uint8_t> worked = {0xDA, 0xFE, 0x18, 0x00, 0x00, 0x00, 0xE8, 0xFF,
                                         0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x01, 0x00, 0xE7, 0xFF, 0xFE, 0xDA};
    for (const auto& f : fake.Frames())
        EXPECT_EQ(f, worked);
    EXPECT_EQ(link.IsOpen(h), 1);
}

TEST(Transport, TheKeepAliveGoesOutAtThe200thIdleTickAndNotBefore) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(ManualTicks());
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    for (size_t round = 1; round <= 2; ++round) {
        ASSERT_TRUE(Advance(link, 199));
        // A pass after the 199th tick had its chance to send; the device has read what came.
        ASSERT_TRUE(WaitPass(link));
        ASSERT_TRUE(fake.WaitPass());
        EXPECT_EQ(KeepAlives(fake).size(), round - 1) << "round " << round;
        ASSERT_TRUE(Advance(link, 1));
        EXPECT_TRUE(FakeDevice::WaitFor([&] { return KeepAlives(fake).size() == round; }))
            << "round " << round;
    }
}

// The link's receiver; while shut, it holds the link thread in the first notification that comes, as
// a stopped program or a busy machine holds the link.
class Gate : public Connection_Main {
public:
    explicit Gate(ConBase& link) : Connection_Main(link) {}
    ~Gate() override { Detach(); }
    void OnNotify(int) override {
        std::unique_lock<std::mutex> hold(M);
        if (!Shut)
            return;
        Holding = true;
        Cv.notify_all();
        Cv.wait(hold, [&] { return !Shut; });
        Holding = false;
    }
    void Shutting() {
        std::lock_guard<std::mutex> hold(M);
        Shut = true;
    }
    bool WaitHolding() {
        std::unique_lock<std::mutex> hold(M);
        return Cv.wait_for(hold, std::chrono::seconds(10), [&] { return Holding; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> hold(M);
            Shut = false;
        }
        Cv.notify_all();
    }

private:
    std::mutex M;
    std::condition_variable Cv;
    bool Shut = false;
    bool Holding = false;
};

TEST(Transport, AStallOfTheLinkCountsForOneKeepAliveIntervalAndLeavesTheAnsweringDeviceOpen) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link; // the clock's ticks of 5 ms
    Gate gate(link);
    std::vector<Got> got;
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    // One answer comes 300 ms late, the other at once: the link thread is held in the receiver by the
    // first for 6 s (1,200 ticks) while the second arrives.
    gate.Shutting();
    fake.SetReply(FakeReply::Late);
    fake.SetLateMs(300);
    link.RequestI32(h, 1, 12);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() == 1; }));
    fake.SetReply(FakeReply::Value);
    link.RequestI32(h, 1, 2);
    ASSERT_TRUE(gate.WaitHolding());
    const uint64_t before = link.TicksProcessed();
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.LateWaiting() == 0; }));
    ASSERT_TRUE(fake.WaitPass()); // the late answer is on its way to the link
    std::this_thread::sleep_for(std::chrono::seconds(6)); // the stall itself
    gate.Open();
    const auto answers = [h](const std::vector<Got>& g) {
        return std::count_if(g.begin(), g.end(), [h](const Got& r) { return r.Handle == h && r.Obj == 1; });
    };
    ASSERT_TRUE(DrainUntil(link, got, [&](const std::vector<Got>& g) {
        return answers(g) == 2 || CountOf(g, h, KIND_CLOSED) > 0;
    }));
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return link.TicksProcessed() > before; }));
    ASSERT_TRUE(WaitPass(link));
    Drain(link, got);
    EXPECT_EQ(answers(got), 2) << "both answers delivered";
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 0);
    EXPECT_EQ(link.IsOpen(h), 1);
    // 200 for the stall, and those of the time since (some seconds on a busy machine), never its 1,200.
    EXPECT_LT(link.TicksProcessed() - before, 800u) << "a stall counts for one keep-alive interval at most";
}

TEST(Transport, ASilentDeviceIsOpenAfter999TicksAndClosedAt1000) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(FakeReply::Silent);
    ConBase link(ManualTicks());
    std::vector<Got> got;
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(Advance(link, 999));
    Drain(link, got);
    EXPECT_EQ(link.IsOpen(h), 1);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 0);
    ASSERT_TRUE(Advance(link, 1));
    EXPECT_EQ(link.IsOpen(h), 0);
    Drain(link, got);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 1);
}

TEST(Transport, NoKeepAliveWhileMessagesGoOut) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    ConBase link(ManualTicks());
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    // A request every 50 ticks for 600 ticks; each one is on the wire before the next ticks.
    for (size_t sent = 1; sent <= 12; ++sent) {
        ASSERT_TRUE(Advance(link, 50));
        link.RequestI32(h, 1, 12);
        ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() >= sent; }));
    }
    EXPECT_TRUE(KeepAlives(fake).empty());
}

TEST(Transport, ASilentDeviceIsClosedAfter1000TicksAndAnAnsweringOneStays) {
    FakeDevice silent, answering;
    const int silentPort = silent.Listen("127.0.0.1");
    const int answeringPort = answering.Listen("127.0.0.1");
    silent.SetReply(FakeReply::Silent);
    ConBase link(FastTicks());
    std::vector<Got> got;
    const uint64_t start = link.TicksProcessed();
    const int quiet = link.Open("127.0.0.1", silentPort);
    const int alive = link.Open("localhost", answeringPort);
    ASSERT_GT(quiet, 0);
    ASSERT_GT(alive, 0);
    ASSERT_TRUE(DrainUntil(
        link, got, [&](const std::vector<Got>& g) { return CountOf(g, quiet, KIND_CLOSED) > 0; },
        std::chrono::seconds(30)));
    // The pass that closed it counts its ticks at its end, after the close is reported.
    ASSERT_TRUE(WaitPass(link));
    EXPECT_GE(link.TicksProcessed(), start + 1000);
    EXPECT_EQ(link.IsOpen(quiet), 0);
    EXPECT_GE(KeepAlives(silent).size(), 4u) << "keep-alives went out meanwhile";

    ASSERT_TRUE(WaitTicks(link, start, 1400));
    Drain(link, got);
    EXPECT_EQ(CountOf(got, quiet, KIND_CLOSED), 1);
    EXPECT_EQ(CountOf(got, alive, KIND_CLOSED), 0);
    EXPECT_EQ(link.IsOpen(alive), 1);
}

TEST(Transport, ThePeerHangingUpGivesOneClosed) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    FakeDevice companion;
    const int companionPort = companion.Listen("127.0.0.1");
    ConBase link(FastTicks());
    std::vector<Got> got;
    // A second device keeps a socket open, so the link thread keeps counting ticks.
    ASSERT_GT(link.Open("localhost", companionPort), 0);
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    fake.CloseAll();
    ASSERT_TRUE(
        DrainUntil(link, got, [&](const std::vector<Got>& g) { return CountOf(g, h, KIND_CLOSED) > 0; }));
    EXPECT_EQ(link.IsOpen(h), 0) << "closed before the CLOSED record is seen";
    ASSERT_TRUE(WaitTicks(link, link.TicksProcessed(), 20));
    Drain(link, got);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 1);
    EXPECT_EQ(link.Close(h), -2);
}

// Messages numbered by their Obj, with data derived from it.
std::vector<uint8_t> Page(int i) {
    std::vector<uint8_t> p(kMaxMsgData);
    for (size_t j = 0; j < p.size(); ++j)
        p[j] = static_cast<uint8_t>(i * 31 + j);
    return p;
}

void ExpectPagesInOrder(const FakeDevice& fake, int count) {
    int next = 0;
    for (const FakeMsg& m : fake.Messages()) {
        if (m.KindByte != 0x89)
            continue;
        ASSERT_EQ(m.Obj, next);
        ASSERT_EQ(m.Data, Page(next));
        ++next;
    }
    EXPECT_EQ(next, count);
    EXPECT_EQ(fake.BadFrames(), 0);
}

TEST(Transport, AFrameTheSocketTakesInPartIsCompletedLater) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1", 0, 4096);
    fake.SetReading(false);
    LinkOptions options = FastTicks();
    options.SendBufferSize = 4096;
    ConBase link(options); // its link thread never sees this device: the test drives it
    Asp dev(1, link);
    ASSERT_EQ(dev.Connect("127.0.0.1", port), 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    const int pages = 120;
    for (int i = 0; i < pages; ++i)
        ASSERT_EQ(dev.WriteI8(i, 0, Page(i).data(), static_cast<int>(kMaxMsgData)), 2500);

    bool partial = false, blocked = false;
    std::vector<SockHandle> writeSet;
    for (int pass = 0; pass < 100000 && !blocked; ++pass) {
        writeSet.clear();
        ASSERT_EQ(dev.FillWriteSet(writeSet), 1);
        const size_t left = dev.TxFrame.size() - dev.TxSent;
        const int r = dev.Send();
        ASSERT_GE(r, 0) << "a full socket is no error";
        partial |= r > 0 && static_cast<size_t>(r) < left;
        blocked |= r == 0;
    }
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(partial);
    EXPECT_TRUE(dev.IsOpen());

    fake.SetReading(true);
    for (int pass = 0; pass < 1000000 && (dev.TxPending > 0 || !dev.TxFrame.empty()); ++pass) {
        writeSet.clear();
        dev.FillWriteSet(writeSet);
        ASSERT_GE(dev.Send(), 0);
    }
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Messages().size() >= static_cast<size_t>(pages); }));
    ExpectPagesInOrder(fake, pages);
}

TEST(Transport, AStalledPeerNeitherClosesTheDeviceNorLosesBytes) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1", 0, 4096);
    // Ticks the test gives: a machine too busy to run the fake device for a second must not make it silent.
    LinkOptions options = ManualTicks();
    options.SendBufferSize = 4096;
    ConBase link(options);
    std::vector<Got> got;
    const int h = link.Open("127.0.0.1", port);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Connections() == 1; }));
    fake.SetReading(false);
    const int pages = 150;
    for (int i = 0; i < pages; ++i)
        ASSERT_EQ(link.WriteI8(h, i, 0, static_cast<int>(kMaxMsgData), Page(i).data()), 2500);
    ASSERT_TRUE(Advance(link, 300));
    EXPECT_EQ(link.IsOpen(h), 1);
    fake.SetReading(true);
    ASSERT_TRUE(FakeDevice::WaitFor([&] {
        int n = 0;
        for (const FakeMsg& m : fake.Messages())
            n += m.KindByte == 0x89;
        return n >= pages;
    }));
    ExpectPagesInOrder(fake, pages);
    Drain(link, got);
    EXPECT_EQ(CountOf(got, h, KIND_CLOSED), 0);
}

TEST(Transport, MessagesQueuedBeforeAPassShareOneFrameInQueueOrder) {
    FakeDevice fake;
    const int port = fake.Listen("127.0.0.1");
    fake.SetReply(FakeReply::Silent);
    ConBase link(FastTicks());
    Asp dev(1, link);
    ASSERT_EQ(dev.Connect("127.0.0.1", port), 0);
    const int32_t word = 5;
    dev.RequestI32(1, 12);
    dev.WriteI32(2, 3, &word, 1);
    dev.WriteI8(4, 5, Page(0).data(), 2460); // 12 + 16 + 2472: exactly 2500 bytes
    dev.RequestF32(6, 7);                    // waits for the next frame
    std::vector<SockHandle> writeSet;
    ASSERT_EQ(dev.FillWriteSet(writeSet), 1);
    EXPECT_EQ(dev.TxFrame.size(), 2512u);
    EXPECT_EQ(dev.TxPending, 12);
    while (!dev.TxFrame.empty())
        ASSERT_GE(dev.Send(), 0);
    writeSet.clear();
    ASSERT_EQ(dev.FillWriteSet(writeSet), 1);
    EXPECT_EQ(dev.TxFrame.size(), 24u);
    while (!dev.TxFrame.empty())
        ASSERT_GE(dev.Send(), 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] { return fake.Frames().size() == 2; }));
    const std::vector<FakeMsg> m = fake.Messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].KindByte, 0x18);
    EXPECT_EQ(m[1].KindByte, 0x99);
    EXPECT_EQ(m[2].KindByte, 0x89);
    EXPECT_EQ(m[3].KindByte, 0x20);
}

TEST(Transport, AHundredDevicesAtOnceAllGetTheirAnswers) {
    const int n = 100; // more than select's 64
    FakeDevice fake;
    std::vector<int> ports;
    for (int i = 0; i < n; ++i) {
        ports.push_back(fake.Listen("127.0.1." + std::to_string(i + 1)));
        ASSERT_GT(ports.back(), 0);
    }
    ConBase link(FastTicks());
    std::vector<int> handles;
    for (int i = 0; i < n; ++i) {
        handles.push_back(link.Open("127.0.1." + std::to_string(i + 1), ports[i]));
        ASSERT_GT(handles.back(), 0);
    }
    for (int h : handles)
        ASSERT_EQ(link.RequestI32(h, 1, 12), 12);
    std::vector<int> answered(n, 0);
    ASSERT_TRUE(FakeDevice::WaitFor([&] {
        for (int i = 0; i < n; ++i) {
            uint8_t buf[4];
            Msg m;
            m.Buf.pU8 = buf;
            while (link.GetMsg(handles[i], m, 4) == 0) {
                if (m.Kind == KIND_VALUE && m.Par == 12) {
                    int32_t v;
                    std::memcpy(&v, buf, 4);
                    EXPECT_EQ(v, FakeDevice::ValueFor(i, 1, 12));
                    ++answered[i];
                }
            }
        }
        return std::count(answered.begin(), answered.end(), 1) == n;
    }));
    for (int h : handles)
        EXPECT_EQ(link.Close(h), 0);
    // One CLOSED record per device; keep-alive answers that came in the meantime (a loaded machine gives the
    // fast ticks time for them) may stand between them.
    int closed = 0;
    uint8_t buf[4];
    Msg m;
    m.Buf.pU8 = buf;
    for (int taken; (taken = link.GetMsg(m, 4)) >= 0;) {
        if (taken > 0)
            link.DropMsg();
        else if (m.Kind == KIND_CLOSED)
            ++closed;
    }
    EXPECT_EQ(closed, n);
}

} // namespace
