// Several UpdateSessions on one link manager, as fwupdate-cli runs them: a session set to take only its
// own device's records leaves every other device's records queued for their own sessions.
#include "link/conbase.h"
#include "tests/update/testdevice.h"
#include "update/updatesession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;

// Answers the online read (1,2) and the serial read (1,3); everything else goes unanswered.
std::function<DeviceAction(const Received&)> AnswerWithSerial(int32_t serial) {
    return [serial](const Received& r) {
        DeviceAction a;
        if (r.Kind == KIND_READ && r.Obj == 1 && r.Par == 2)
            a.Replies.push_back(ValueReplyI32(1, 2, {1}));
        if (r.Kind == KIND_READ && r.Obj == 1 && r.Par == 3)
            a.Replies.push_back(ValueReplyI32(1, 3, {serial}));
        return a;
    };
}

// Two devices on the command-line tool's own addresses, both connected through one link manager,
// with their answers waiting in its one queue: CONNECTED, (1,2) and (1,3) for each.
class TwoDevices : public testing::Test {
protected:
    void SetUp() override {
        a.OnMessage = AnswerWithSerial(111);
        b.OnMessage = AnswerWithSerial(222);
    }
    void Connect(UpdateSession& sa, UpdateSession& sb) {
        ha = sa.OpenDevice("127.0.0.78", a.Port());
        hb = sb.OpenDevice("127.0.0.79", b.Port());
        ASSERT_NE(ha, 0);
        ASSERT_NE(hb, 0);
        sa.RequestIdentification();
        sb.RequestIdentification();
        ASSERT_TRUE(WaitUntil([&] { return link.GetMsgCount(ha) >= 3 && link.GetMsgCount(hb) >= 3; }));
    }

    TestDevice a{"127.0.0.78"};
    TestDevice b{"127.0.0.79"};
    ConBase link;
    RecordingView va, vb;
    int ha = 0, hb = 0;
};

TEST_F(TwoDevices, OwnHandleSessionsTakeOnlyTheirOwnDevicesRecords) {
    UpdateSession sa(link, va), sb(link, vb);
    sa.SetOwnHandleOnly(true);
    sb.SetOwnHandleOnly(true);
    Connect(sa, sb);

    sa.MsgCallback(0);
    EXPECT_EQ(sa.Serial, 111);
    EXPECT_EQ(sa.Online.load(), 1);
    EXPECT_EQ(link.GetMsgCount(ha), 0);
    EXPECT_GE(link.GetMsgCount(hb), 3); // left for its own session
    EXPECT_EQ(sb.Online.load(), 0);

    sb.MsgCallback(0);
    EXPECT_EQ(sb.Serial, 222);
    EXPECT_EQ(sb.CurrentDevice.load(), hb);
    EXPECT_EQ(link.GetMsgCount(), 0);

    // One device closing takes only its own session offline.
    ASSERT_EQ(link.Close(ha), 0);
    sb.MsgCallback(0);
    EXPECT_EQ(link.GetMsgCount(ha), 1);
    sa.MsgCallback(0);
    EXPECT_EQ(sa.Online.load(), 0);
    EXPECT_EQ(sa.CurrentDevice.load(), 0);
    EXPECT_EQ(sb.Online.load(), 1);
    EXPECT_EQ(sb.CurrentDevice.load(), hb);
}

TEST_F(TwoDevices, ASessionThatOpenedNothingTakesNothing) {
    UpdateSession sa(link, va), sb(link, vb), idle(link, va);
    idle.SetOwnHandleOnly(true);
    Connect(sa, sb);
    idle.MsgCallback(0);
    EXPECT_GE(link.GetMsgCount(), 6);
}

TEST_F(TwoDevices, TheWindowsSessionStillDrainsEveryRecord) {
    UpdateSession sa(link, va), sb(link, vb);
    Connect(sa, sb);
    sa.MsgCallback(0);
    EXPECT_EQ(link.GetMsgCount(), 0);
    EXPECT_EQ(sb.Online.load(), 0); // its records went to the one consumer
}

} // namespace
