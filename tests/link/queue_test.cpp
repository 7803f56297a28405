// The link manager's received-message queue and its notifications: taking, dropping and
// counting records, data ownership, receivers coming and going, internal-consistency checks.
#include "link/conbase.h"
#include "link/connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

Msg Record(int handle, int kind, int type, int count, int len, const uint8_t* data = nullptr) {
    Msg m;
    m.Handle = handle;
    m.Kind = kind;
    m.Type = type;
    m.Obj = 1;
    m.Par = 12;
    m.Count = count;
    m.Len = len;
    if (count > 1)
        m.Buf.pU8 = const_cast<uint8_t*>(data);
    else if (count == 1 && data != nullptr)
        std::memcpy(m.Buf.U8, data, std::min(len, 4));
    return m;
}

struct TakeCase {
    std::string Name;
    int Type, Count, Len, Capacity;
    int Result;                  // GetMsg's result
    std::vector<uint8_t> Buffer; // the caller's buffer afterwards (first bytes)
    int LeftInQueue;
};

class Take : public testing::TestWithParam<TakeCase> {};

TEST_P(Take, CopiesIntoTheCallersBufferOrLeavesTheRecordFirst) {
    const TakeCase& c = GetParam();
    ConBase link;
    std::vector<uint8_t> data(static_cast<size_t>(std::max(c.Len, 4)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    link.PushMsg(3, Record(3, KIND_VALUE, c.Type, c.Count, c.Len, data.data()));
    data.assign(data.size(), 0); // the queue keeps its own copy
    link.PushMsg(3, Record(3, KIND_WOK, TYPE_NONE, 0, 0));

    std::vector<uint8_t> buf(static_cast<size_t>(c.Capacity) + 8, 0xEE);
    Msg got;
    got.Buf.pU8 = buf.data();
    EXPECT_EQ(link.GetMsg(got, c.Capacity), c.Result);
    EXPECT_EQ(got.Buf.pU8, buf.data()) << "the record points at the caller's buffer";
    EXPECT_EQ(got.Kind, KIND_VALUE);
    EXPECT_EQ(got.Len, c.Len);
    EXPECT_EQ(got.Count, c.Count);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(c.Buffer.size())),
              c.Buffer);
    EXPECT_EQ(link.GetMsgCount(), c.LeftInQueue);
}

std::vector<uint8_t> Seq(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(0xA0 + i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Queue, Take,
    testing::Values(TakeCase{"EightBytesIntoCapacity4000", TYPE_I32, 2, 8, 4000, 0, Seq(8), 1},
                    TakeCase{"SingleI8IsByteThenZeros", TYPE_I8, 1, 1, 4000, 0, {0xA0, 0, 0, 0}, 1},
                    TakeCase{"SingleI32InPlace", TYPE_I32, 1, 4, 4, 0, Seq(4), 1},
                    TakeCase{"CountZeroCopiesNothing", TYPE_I32, 0, 2, 4000, 0, {0xEE, 0xEE}, 1},
                    TakeCase{"LenAboveCapacityStaysFirst", TYPE_I8, 5000, 5000, 4000, 5000, {0xEE, 0xEE}, 2},
                    TakeCase{"ExactFit", TYPE_I16, 4, 8, 8, 0, Seq(8), 1}),
    [](const testing::TestParamInfo<TakeCase>& i) { return i.param.Name; });

TEST(Queue, EmptyQueueAnswersMinusOne) {
    ConBase link;
    uint8_t buf[4];
    Msg m;
    m.Buf.pU8 = buf;
    EXPECT_EQ(link.GetMsgCount(), 0);
    EXPECT_EQ(link.GetMsg(m, 4), -1);
    EXPECT_EQ(link.GetMsg(1, m, 4), -1);
    EXPECT_EQ(link.DropMsg(), -1);
    EXPECT_EQ(link.DropMsg(1), -1);
}

TEST(Queue, AnOversizedRecordCanBeTakenWithALargerBufferOrDropped) {
    ConBase link;
    const std::vector<uint8_t> big = Seq(5000);
    link.PushMsg(2, Record(2, KIND_VALUE, TYPE_I8, 5000, 5000, big.data()));
    link.PushMsg(2, Record(2, KIND_VALUE, TYPE_I8, 5000, 5000, big.data()));
    link.PushMsg(2, Record(2, KIND_CLOSED, TYPE_NONE, 0, 0));
    std::vector<uint8_t> small(4000), large(8000);
    Msg m;
    m.Buf.pU8 = small.data();
    ASSERT_EQ(link.GetMsg(m, 4000), 5000);
    m.Buf.pU8 = large.data();
    ASSERT_EQ(link.GetMsg(m, 8000), 0);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), large.begin()));
    m.Buf.pU8 = small.data();
    ASSERT_EQ(link.GetMsg(m, 4000), 5000);
    EXPECT_EQ(link.DropMsg(), 0);
    ASSERT_EQ(link.GetMsg(m, 4000), 0);
    EXPECT_EQ(m.Kind, KIND_CLOSED);
    EXPECT_EQ(link.GetMsgCount(), 0);
}

TEST(Queue, RecordsOfOneHandleAreTakenInOrderWithoutDisturbingOthers) {
    ConBase link;
    for (int i = 0; i < 6; ++i) {
        Msg m = Record(i % 2 ? 5 : 6, KIND_VALUE, TYPE_I32, 1, 4);
        m.Par = static_cast<uint16_t>(i);
        link.PushMsg(m.Handle, m);
    }
    EXPECT_EQ(link.GetMsgCount(5), 3);
    EXPECT_EQ(link.GetMsgCount(6), 3);
    EXPECT_EQ(link.GetMsgCount(7), 0);
    uint8_t buf[4];
    Msg m;
    m.Buf.pU8 = buf;
    ASSERT_EQ(link.GetMsg(5, m, 4), 0);
    EXPECT_EQ(m.Par, 1);
    EXPECT_EQ(link.DropMsg(5), 0);
    ASSERT_EQ(link.GetMsg(5, m, 4), 0);
    EXPECT_EQ(m.Par, 5);
    EXPECT_EQ(link.GetMsg(5, m, 4), -1);
    ASSERT_EQ(link.GetMsg(m, 4), 0);
    EXPECT_EQ(m.Par, 0);
    EXPECT_EQ(link.GetMsgCount(), 2);
}

// One device's record left untaken while another device's thousands come and go by handle: taken by
// any handle, the records still come oldest first, and the queue keeps nothing of the taken ones.
TEST(Queue, AnyHandleTakesTheOldestAfterManyTakenByHandleBehindAnUntakenOne) {
    ConBase link(LinkOptions{.QueueOnly = true});
    const auto push = [&](int handle, int par) {
        Msg m = Record(handle, KIND_VALUE, TYPE_I32, 1, 4);
        m.Par = static_cast<uint16_t>(par);
        link.PushMsg(handle, m);
    };
    uint8_t buf[4];
    Msg m;
    m.Buf.pU8 = buf;
    push(1, 0);
    for (int i = 0; i < 5000; ++i) {
        push(2, i);
        ASSERT_EQ(link.GetMsg(2, m, 4), 0);
        ASSERT_EQ(m.Par, i);
    }
    push(2, 7);
    push(1, 1);
    EXPECT_EQ(link.GetMsgCount(), 3);
    for (const auto& [handle, par] : std::vector<std::pair<int, int>>{{1, 0}, {2, 7}, {1, 1}}) {
        ASSERT_EQ(link.GetMsg(m, 4), 0);
        EXPECT_EQ(m.Handle, handle);
        EXPECT_EQ(m.Par, par);
    }
    EXPECT_EQ(link.GetMsg(m, 4), -1);
    EXPECT_EQ(link.GetMsgCount(1) + link.GetMsgCount(2), 0);
}

// A receiver that counts its notifications and detaches before its members go.
class Counter : public Connection_Main {
public:
    explicit Counter(ConBase& link) : Connection_Main(link) {}
    ~Counter() override { Detach(); }
    void OnNotify(int handle) override {
        ++Calls;
        LastHandle = handle;
    }
    std::atomic<int> Calls{0};
    std::atomic<int> LastHandle{0};
};

TEST(Notify, EveryQueuedRecordNotifiesTheRegisteredReceiverWithItsHandle) {
    ConBase link;
    link.PushMsg(1, Record(1, KIND_WOK, TYPE_NONE, 0, 0)); // no receiver yet: queued all the same
    {
        Counter receiver(link);
        link.PushMsg(4, Record(4, KIND_WOK, TYPE_NONE, 0, 0));
        link.PushMsg(9, Record(9, KIND_WOK, TYPE_NONE, 0, 0));
        EXPECT_EQ(receiver.Calls, 2);
        EXPECT_EQ(receiver.LastHandle, 9);
    }
    link.PushMsg(2, Record(2, KIND_WOK, TYPE_NONE, 0, 0)); // the receiver is gone
    EXPECT_EQ(link.GetMsgCount(), 4);
    Counter next(link); // a new receiver may register once the old one has gone
    link.PushMsg(2, Record(2, KIND_WOK, TYPE_NONE, 0, 0));
    EXPECT_EQ(next.Calls, 1);
}

TEST(Notify, AReceiverGoingAwayWhileRecordsArriveNeverSeesALateCall) {
    ConBase link;
    std::atomic<bool> stop{false};
    std::mutex building; // receivers are built while nothing is queued, as in the program
    std::thread pusher([&] {
        while (!stop) {
            std::lock_guard<std::mutex> hold(building);
            link.PushMsg(1, Record(1, KIND_WOK, TYPE_NONE, 0, 0));
        }
    });
    for (int i = 0; i < 300; ++i) {
        std::unique_ptr<Counter> receiver;
        {
            std::lock_guard<std::mutex> hold(building);
            receiver = std::make_unique<Counter>(link);
        }
        std::this_thread::yield();
        receiver.reset(); // a call into the freed receiver would be a use after free
        link.DropMsg();
    }
    stop = true;
    pusher.join();
}

using DeviceAssertDeathTest = testing::Test;

TEST_F(DeviceAssertDeathTest, ChecksNameTheSourceFileAndTheCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ConBase link;
            link.PushMsg(1, Record(1, KIND_WOK, TYPE_NONE, 0, 0));
            Msg m; // Buf.pU8 null: the caller passed no buffer
            link.GetMsg(m, 4);
        },
        "device: Msg\\.Buf\\.pU8");
    EXPECT_DEATH(
        {
            ConBase link;
            Counter one(link);
            Counter two(link); // a second receiver would cut off the first
        },
        "device: pConnection");
}

} // namespace
