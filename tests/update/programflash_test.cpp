// The flash programming sequence against a listening test device, paced by a clock that does not
// sleep: wire order and values, page addressing, pauses, log lines, and the ends that fail it.
#include "update/updatesession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <thread>

#include "base/log.h"
#include "link/conbase.h"
#include "tests/support/testlog.h"
#include "tests/update/testdevice.h"
#include "update/firmwareimage.h"
#include "update/flashpacing.h"

namespace {

std::vector<uint8_t> Image(size_t n) {
    std::vector<uint8_t> image(n);
    uint32_t x = 0x12345678u + static_cast<uint32_t>(n);
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

bool IsWrite(const Received& r, int obj, int par) {
    return r.Kind == KIND_WRITE && r.Obj == obj && r.Par == par;
}

bool HasUpdateEnd(const std::vector<Received>& m) {
    return std::any_of(m.begin(), m.end(),
                       [](const Received& r) { return IsWrite(r, 10, 9) && r.I32() == 0; });
}

class ProgramFlashTest : public ::testing::Test {
protected:
    explicit ProgramFlashTest(LinkOptions options = {}, int receiveBuffer = 0)
        : device("127.0.0.30", receiveBuffer), link(options) {}
    void SetUp() override { session.SetUpdateClock(&clock); }
    void TearDown() override {
        if (session.CurrentDevice.load() != 0)
            session.CloseDevice();
    }
    void Connect() {
        ASSERT_NE(session.OpenDevice("127.0.0.30", device.Port()), 0);
        ASSERT_TRUE(WaitUntil([&] { return device.Connections() == 1; }));
        session.MsgCallback(0); // CONNECTED
    }
    std::vector<std::string> LogLines(const std::string& prefix) {
        std::vector<std::string> lines;
        for (const std::string& line : logFile.Lines())
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        return lines;
    }

    TestLogFile logFile{"programflash_test"};
    TestDevice device;
    ConBase link;
    RecordingView view;
    FakeClock clock;
    UpdateSession session{link, view};
};

struct SizeCase {
    size_t bytes;
    std::vector<std::pair<size_t, std::pair<int, int>>> addresses; // page index -> (obj, par)
};
class ProgramFlashSizes : public ProgramFlashTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ProgramFlashSizes, WritesArriveInTableOrderWithPagesAscending) {
    Connect();
    const std::vector<uint8_t> image = Image(GetParam().bytes);
    ASSERT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "DSPMAIN", 14, 3), 0);
    ASSERT_TRUE(device.WaitFor(HasUpdateEnd));
    const std::vector<Received> m = device.Messages();
    const size_t pages = static_cast<size_t>(PageCount(static_cast<int64_t>(image.size())));
    ASSERT_EQ(m.size(), 6 + pages + 2);

    EXPECT_TRUE(IsWrite(m[0], 10, 9) && m[0].I32() == 1);
    EXPECT_TRUE(IsWrite(m[1], 2, 6) && static_cast<uint32_t>(m[1].I32()) == DateValueNowUtc());
    EXPECT_TRUE(IsWrite(m[2], 2, 7) && m[2].I32() == 14);
    EXPECT_TRUE(IsWrite(m[3], 2, 8) && m[3].I32() == 3);
    ASSERT_TRUE(IsWrite(m[4], 2, 4) && m[4].Type == TYPE_I32 && m[4].Count == 4);
    const std::vector<uint8_t> nameBytes = {'D', 'S', 'P', 'M', 'A', 'I', 'N', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(m[4].Data, nameBytes);
    EXPECT_TRUE(IsWrite(m[5], 2, 9) && m[5].I32() == 0);

    std::vector<uint8_t> received;
    for (size_t p = 0; p < pages; ++p) {
        const Received& r = m[6 + p];
        const auto address = PageAddressOf(static_cast<int64_t>(p));
        ASSERT_TRUE(address.has_value());
        ASSERT_TRUE(IsWrite(r, address->Obj, address->Par) && r.Type == TYPE_I8) << "page " << p;
        EXPECT_EQ(r.Data.size(), std::min<size_t>(256, image.size() - 256 * p));
        received.insert(received.end(), r.Data.begin(), r.Data.end());
    }
    EXPECT_EQ(received, ConvertImage(image.data(), image.size()));
    for (const auto& [page, address] : GetParam().addresses) {
        EXPECT_EQ(m[6 + page].Obj, address.first) << page;
        EXPECT_EQ(m[6 + page].Par, address.second) << page;
    }
    EXPECT_TRUE(IsWrite(m[6 + pages], 2, 5) && m[6 + pages].I32() == 0);
    EXPECT_TRUE(IsWrite(m[7 + pages], 10, 9) && m[7 + pages].I32() == 0);

    // Pauses after (2,6), (2,7), (2,8), the name, the erase, every page and the end of the image.
    std::vector<int64_t> want = {1, 1, 1, 10, 4000};
    want.insert(want.end(), pages, 50);
    want.push_back(500);
    EXPECT_EQ(clock.Pauses(), want);

    EXPECT_EQ(LogLines("Starting Erasing Flash").size(), 1u);
    const std::vector<std::string> pageLines = LogLines("Q7Config::WritePage: page= ");
    ASSERT_EQ(pageLines.size(), pages);
    for (size_t p = 0; p < pages; ++p)
        EXPECT_EQ(pageLines[p], "Q7Config::WritePage: page= " + std::to_string(p));
}

INSTANTIATE_TEST_SUITE_P(
    Images, ProgramFlashSizes,
    ::testing::Values(SizeCase{1, {{0, {2, 10}}}}, SizeCase{256, {{0, {2, 10}}}},
                      SizeCase{257, {{0, {2, 10}}, {1, {2, 11}}}}, SizeCase{1027, {{4, {2, 14}}}},
                      SizeCase{503 * 256 - 100,
                               {{245, {2, 255}}, {246, {3, 0}}, {501, {3, 255}}, {502, {4, 0}}}}));

TEST_F(ProgramFlashTest, LongNameIsCutToSixteenBytes) {
    Connect();
    const std::vector<uint8_t> image = Image(16);
    ASSERT_EQ(session.ProgramFlash(image.data(), 16, "ABCDEFGHIJKLMNOPQRST", 1, 0), 0);
    ASSERT_TRUE(device.WaitFor(HasUpdateEnd));
    const std::vector<Received> m = device.Messages();
    ASSERT_GE(m.size(), 5u);
    EXPECT_EQ(std::string(m[4].Data.begin(), m[4].Data.end()), "ABCDEFGHIJKLMNOP");
}

TEST_F(ProgramFlashTest, NoDeviceSendsNothingAndFails) {
    const std::vector<uint8_t> image = Image(300);
    EXPECT_EQ(session.ProgramFlash(image.data(), 300, "X", 1, 0), -1);
    EXPECT_TRUE(clock.Pauses().empty());
}

TEST_F(ProgramFlashTest, ImageBeyondPageAddressingIsRefusedBeforeSending) {
    Connect();
    const std::vector<uint8_t> image(static_cast<size_t>(kMaxImageBytes) + 1);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), -1);
    EXPECT_FALSE(device.WaitFor([](const auto& m) { return !m.empty(); }, std::chrono::milliseconds(100)));
}

TEST_F(ProgramFlashTest, LinkLostMidwayStopsSendingAndFails) {
    device.OnMessage = [](const Received& r) {
        DeviceAction a;
        a.Close = r.Obj == 2 && r.Par == 12; // page 2
        return a;
    };
    Connect();
    const int handle = session.CurrentDevice.load();
    // At the pause after page 2, wait until the link has seen the device go.
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == 5 + 2)
            WaitUntil([&] { return link.IsOpen(handle) == 0; });
    };
    const std::vector<uint8_t> image = Image(10 * 256);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), -1);
    EXPECT_EQ(LogLines("Q7Config::WritePage: page= ").size(), 3u);
    EXPECT_EQ(LogLines("FIRMWAREUPDATE: Link lost").size(), 1u);
    EXPECT_EQ(LogLines("FIRMWAREUPDATE: Error on programming page").size(), 1u);
    EXPECT_EQ(session.CurrentDevice.load(), 0); // the CLOSED was dispatched
}

TEST_F(ProgramFlashTest, LinkLostReturnsOnlyOnceTheClosedRecordIsDispatched) {
    device.OnMessage = [](const Received& r) {
        DeviceAction a;
        a.Close = r.Obj == 2 && r.Par == 12; // page 2
        return a;
    };
    Connect();
    const int handle = session.CurrentDevice.load();
    // The link closes the socket a moment before it queues CLOSED. Stretch that moment: the record is
    // taken away at the pause after page 2 and queued again only once the sequence has seen the link gone.
    std::thread late;
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index != 5 + 2)
            return;
        ASSERT_TRUE(WaitUntil([&] {
            Msg m;
            uint8_t buf[kPageSize];
            m.Buf.pU8 = buf;
            return link.GetMsg(handle, m, sizeof buf) == 0 && m.Kind == KIND_CLOSED;
        }));
        late = std::thread([&] {
            WaitUntil([&] { return !LogLines("FIRMWAREUPDATE: Link lost").empty(); });
            Msg closed;
            closed.Handle = handle;
            closed.Kind = KIND_CLOSED;
            link.PushMsg(handle, closed);
        });
    };
    const std::vector<uint8_t> image = Image(10 * 256);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), -1);
    EXPECT_EQ(session.CurrentDevice.load(), 0) << "the CLOSED was dispatched";
    ASSERT_TRUE(late.joinable());
    late.join();
}

struct ErrorCase {
    const char* title;
    uint16_t obj;
    uint16_t par;
    size_t waitAtPause; // the pause during which the reply is awaited
    int result;
    size_t pagesLogged;
    const char* line; // the failure line, or nullptr
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
    *os << c.title;
}

class ProgramFlashErrors : public ProgramFlashTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ProgramFlashErrors, ErrorReplyDecidesOnlyForPagesEraseAndEnd) {
    const ErrorCase c = GetParam();
    // The write under test is answered with an error, every other one acknowledged. Only its first write:
    // (10,9) is written again at the update end, whose reply may or may not be taken before the sequence
    // returns.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    device.OnMessage = [c, answered](const Received& r) {
        DeviceAction a;
        if (r.Kind == KIND_WRITE && r.Obj == c.obj && r.Par == c.par && !answered->exchange(true))
            a.Replies.push_back(ErrorReply(r.Obj, r.Par));
        return a;
    };
    Connect();
    // At that pause (in the sequence's own thread), take the records until the error reply is among them.
    const std::string errorLine =
        "Q7Config::MsgCallback: Error Obj(" + std::to_string(c.obj) + "," + std::to_string(c.par) + ")";
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == c.waitAtPause)
            WaitUntil([&] {
                session.MsgCallback(0);
                return !LogLines(errorLine).empty();
            });
    };
    const std::vector<uint8_t> image = Image(5 * 256);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), c.result);
    EXPECT_EQ(LogLines("Q7Config::WritePage: page= ").size(), c.pagesLogged);
    EXPECT_EQ(LogLines(errorLine).size(), 1u);
    if (c.line) {
        EXPECT_EQ(LogLines(c.line).size(), 1u);
    }
    if (c.result != 0 && c.par != 5) { // nothing after the failure (the end of the image is the last but one)
        EXPECT_FALSE(device.WaitFor(HasUpdateEnd, std::chrono::milliseconds(100)));
    }
}

// Pause indices: 0-2 announcement, 3 name, 4 erase, 5.. pages, 10 end of image (5 pages).
INSTANTIATE_TEST_SUITE_P(
    Replies, ProgramFlashErrors,
    ::testing::Values(ErrorCase{"page 2", 2, 12, 7, -1, 3, "FIRMWAREUPDATE: Error on programming page"},
                      ErrorCase{"last page", 2, 14, 9, -1, 5, "FIRMWAREUPDATE: Error on programming page"},
                      ErrorCase{"erase", 2, 9, 4, -1, 0, "FIRMWAREUPDATE: Error on erasing page"},
                      ErrorCase{"end of image", 2, 5, 10, -1, 5, "FIRMWAREUPDATE: Error on ending the image"},
                      ErrorCase{"version only logged", 2, 7, 1, 0, 5, nullptr},
                      ErrorCase{"update start only logged", 10, 9, 0, 0, 5, nullptr}));

TEST_F(ProgramFlashTest, ErrorReplyFromBeforeTheUpdateDoesNotCount) {
    Connect();
    Msg stale;
    stale.Handle = session.CurrentDevice.load();
    stale.Kind = KIND_ERROR;
    stale.Type = TYPE_I32;
    stale.Obj = 2;
    stale.Par = 10;
    link.PushMsg(stale.Handle, stale);
    const std::vector<uint8_t> image = Image(512);
    EXPECT_EQ(session.ProgramFlash(image.data(), 512, "X", 1, 0), 0);
}

TEST_F(ProgramFlashTest, StopRequestEndsTheSequence) {
    Connect();
    clock.OnSleep = [&](size_t index, int64_t) {
        if (index == 6)
            session.RequestUpdateStop();
    };
    const std::vector<uint8_t> image = Image(8 * 256);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), -1);
    EXPECT_EQ(LogLines("Q7Config::WritePage: page= ").size(), 2u);
}

// Acknowledgements decide: ticks of 1 ms make the silence allowance 1 s; the device answers keep-alives,
// so only the acknowledgements it withholds can end the update. A small receive window and a time per page
// make a device slower than the tool.
struct AckCase {
    const char* title;
    int64_t acknowledgedPages;  // the device acknowledges pages 0 to this - 1 (-1: every page)
    bool acknowledgesEnd;       // the end of the image (2,5)
    int pageMs;                 // the device's time for each page
    int result;
    UpdateSession::Shortfall shortfall;
    const char* detail; // UpdateShortfallText
};
void PrintTo(const AckCase& c, std::ostream* os) {
    *os << c.title;
}

class ProgramFlashAcks : public ProgramFlashTest, public ::testing::WithParamInterface<AckCase> {
protected:
    static LinkOptions FastTicks() {
        LinkOptions o;
        o.TickPeriod = std::chrono::microseconds(1000);
        return o;
    }
    ProgramFlashAcks() : ProgramFlashTest(FastTicks(), 2048) {}
};

TEST_P(ProgramFlashAcks, TheUpdateIsOkOnlyWhenTheDeviceConfirmedEveryPageAndTheEnd) {
    const AckCase c = GetParam();
    const int64_t pages = 12;
    device.WithKeepAlives = true;
    device.AcknowledgeWrites = false;
    device.PageTime = std::chrono::milliseconds(c.pageMs);
    device.OnMessage = [c](const Received& r) {
        DeviceAction a;
        if (r.Kind == KIND_READ && r.Obj == 0 && r.Par == 1)
            a.Replies.push_back(ValueReplyI32(0, 1, {0})); // the keep-alive's answer
        const bool page = r.Type == TYPE_I8;
        const bool withheld = (page && c.acknowledgedPages >= 0 && r.Par - 10 >= c.acknowledgedPages) ||
                              (r.Obj == 2 && r.Par == 5 && !c.acknowledgesEnd);
        if (r.Kind == KIND_WRITE && !withheld)
            a.Replies.push_back(WokReply(r.Obj, r.Par));
        return a;
    };
    Connect();
    const std::vector<uint8_t> image = Image(static_cast<size_t>(pages) * 256);
    EXPECT_EQ(session.ProgramFlash(image.data(), static_cast<int32_t>(image.size()), "X", 1, 0), c.result);
    EXPECT_EQ(session.UpdateShortfall(), c.shortfall);
    EXPECT_EQ(session.UpdateShortfallText(), c.detail);
    if (c.result == 0) {
        ASSERT_TRUE(device.WaitFor(HasUpdateEnd));
    }
    const std::vector<Received> m = device.Messages();
    // Never ahead of the device: page k is sent only once the acknowledgement of page k - 4 was taken.
    int64_t sent = 0, acknowledged = 0;
    for (const std::string& line : logFile.Lines()) {
        if (line.rfind("Q7Config::WritePage: page= ", 0) == 0) {
            EXPECT_GE(acknowledged, sent - kAckWindow + 1) << line;
            ++sent;
        } else if (int obj = 0, par = 0;
                   std::sscanf(line.c_str(), "Q7Config::MsgCallback: WOK Obj(%d,%d)", &obj, &par) == 2) {
            acknowledged += obj == 2 && par >= 10 ? 1 : 0; // the pages of this image go to (2,10) on
        }
    }
    std::vector<uint8_t> received;
    for (const Received& r : m)
        if (r.Kind == KIND_WRITE && r.Type == TYPE_I8)
            received.insert(received.end(), r.Data.begin(), r.Data.end());
    if (c.result == 0) {
        EXPECT_EQ(received, ConvertImage(image.data(), image.size())) << "the image, unchanged";
        return;
    }
    // Without the device's confirmation the update is not ended.
    EXPECT_FALSE(HasUpdateEnd(m));
    const bool endSent = std::any_of(m.begin(), m.end(), [](const Received& r) { return IsWrite(r, 2, 5); });
    EXPECT_EQ(endSent, c.shortfall == UpdateSession::Shortfall::End);
    EXPECT_EQ(LogLines(std::string("FIRMWAREUPDATE: update failed: ") + c.detail).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ProgramFlashAcks,
    ::testing::Values(
        AckCase{"slow with a small window", -1, true, 20, 0, UpdateSession::Shortfall::None, ""},
        AckCase{"never acknowledges", 0, true, 0, -1, UpdateSession::Shortfall::Pages,
                "4 of 12 pages sent, 0 acknowledged by the device: no acknowledgement for 1 s"},
        AckCase{"stops after page 6", 7, true, 0, -1, UpdateSession::Shortfall::Pages,
                "11 of 12 pages sent, 7 acknowledged by the device: no acknowledgement for 1 s"},
        AckCase{"all but the end of the image", -1, false, 0, -1, UpdateSession::Shortfall::End,
                "12 of 12 pages sent, 12 acknowledged by the device, the end of the image not acknowledged"}));

} // namespace
