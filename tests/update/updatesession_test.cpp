// Tests of identification and message dispatch (UpdateSession::MsgCallback): the shown formats, Online and
// CurrentDevice, the log lines, and the records that must not stall or mislead the dispatch. Records are
// pushed straight into a link manager's queue; no socket is needed.
#include "update/updatesession.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "base/log.h"
#include "link/conbase.h"
#include "tests/support/testlog.h"
#include "tests/update/recordingview.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// The four values that carry a 16-character text: its bytes, lowest byte of each value first.
std::vector<int32_t> TextValues(const std::string& text) {
    uint8_t bytes[16] = {};
    std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 16));
    std::vector<int32_t> values(4);
    for (int i = 0; i < 4; ++i)
        values[i] = static_cast<int32_t>(uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 |
                                         uint32_t(bytes[4 * i + 2]) << 16 | uint32_t(bytes[4 * i + 3]) << 24);
    return values;
}

class SessionTest : public ::testing::Test {
protected:
    static constexpr int kHandle = 7;

    void SetUp() override { session.CurrentDevice = kHandle; }

    // Queues a record carrying values (Count 1 in place, more as a data block) and drains the queue.
    void PushValues(int obj, int par, const std::vector<int32_t>& values, int kind = KIND_VALUE,
                    int type = TYPE_I32) {
        Msg m;
        m.Handle = kHandle;
        m.Kind = kind;
        m.Type = type;
        m.Obj = static_cast<uint16_t>(obj);
        m.Par = static_cast<uint16_t>(par);
        m.Count = static_cast<int32_t>(values.size());
        m.Len = static_cast<int32_t>(values.size() * 4);
        std::vector<uint8_t> data(values.size() * 4);
        for (size_t i = 0; i < values.size(); ++i)
            for (int b = 0; b < 4; ++b)
                data[4 * i + b] = static_cast<uint8_t>(static_cast<uint32_t>(values[i]) >> (8 * b));
        if (values.size() == 1)
            m.Buf.I32 = values[0];
        else if (values.size() > 1)
            m.Buf.pU8 = data.data();
        con.PushMsg(kHandle, m);
    }
    void PushEvent(int kind, int handle = kHandle, int obj = 0, int par = 0) {
        Msg m;
        m.Handle = handle;
        m.Kind = kind;
        m.Obj = static_cast<uint16_t>(obj);
        m.Par = static_cast<uint16_t>(par);
        con.PushMsg(handle, m);
    }
    void Drain() { session.MsgCallback(kHandle); }

    // The log's lines after its header, without their CR LF.
    std::vector<std::string> LogLines() const {
        std::string rest;
        std::vector<std::string> lines = logFile.Lines(&rest);
        EXPECT_EQ(rest, "") << "a line without CR LF";
        if (!lines.empty() && lines.front().rfind("* ", 0) == 0)
            lines.erase(lines.begin());
        return lines;
    }

    TestLogFile logFile{"fwsession"};
    ConBase con;
    RecordingView view;
    UpdateSession session{con, view};
};

// ---- One-value replies: stored value, shown text, log line ----

struct OneValueCase {
    const char* name;
    int par;
    int32_t value;
    std::vector<std::string> shown;
    std::vector<std::string> logged; // after the MSG Obj / MSG I32 lines
};

class OneValueReply : public SessionTest, public ::testing::WithParamInterface<OneValueCase> {};

TEST_P(OneValueReply, ShowsAndLogsTheValue) {
    const OneValueCase& c = GetParam();
    PushValues(1, c.par, {c.value});
    Drain();
    EXPECT_THAT(view.Calls(), ElementsAreArray(c.shown));
    std::vector<std::string> expected = {"Q7Config::MsgCallback: MSG Obj(1," + std::to_string(c.par) + ")",
                                         "Q7Config::MsgCallback: MSG I32"};
    expected.insert(expected.end(), c.logged.begin(), c.logged.end());
    EXPECT_THAT(LogLines(), ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, OneValueReply,
    ::testing::Values(
        OneValueCase{"SerialZeroFilled",
                     3,
                     123,
                     {"DSPMODSERIAL=00000123"},
                     {"VskComTest::ReceivedSerial: SERIAL=123"}},
        OneValueCase{"SerialNineDigits",
                     3,
                     123456789,
                     {"DSPMODSERIAL=123456789"},
                     {"VskComTest::ReceivedSerial: SERIAL=123456789"}},
        OneValueCase{
            "SerialNegative", 3, -42, {"DSPMODSERIAL=-00000042"}, {"VskComTest::ReceivedSerial: SERIAL=-42"}},
        OneValueCase{"ModeHex", 6, 31, {"MODE=1Fh"}, {"VskComTest::CheckDevice: Mode=31"}},
        OneValueCase{"ModeZero", 6, 0, {"MODE=0h"}, {"VskComTest::CheckDevice: Mode=0"}},
        OneValueCase{"ModeAllBits", 6, -1, {"MODE=FFFFFFFFh"}, {"VskComTest::CheckDevice: Mode=4294967295"}},
        OneValueCase{"Version",
                     12,
                     0x00010004,
                     {"ONLINE", "VERSION=HWV=1.4"},
                     {"VskComTest::ReceivedVersion: VERSION=HWV=1.4"}},
        OneValueCase{"VersionHighHalfOnly",
                     12,
                     static_cast<int32_t>(0xFFFF0000u),
                     {"ONLINE", "VERSION=HWV=65535.0"},
                     {"VskComTest::ReceivedVersion: VERSION=HWV=65535.0"}},
        OneValueCase{"VersionBothHalves",
                     12,
                     static_cast<int32_t>(0xFFFFFFFFu),
                     {"ONLINE", "VERSION=HWV=65535.65535"},
                     {"VskComTest::ReceivedVersion: VERSION=HWV=65535.65535"}},
        OneValueCase{"Kennung", 5, 19, {"KENNUNG=19"}, {}},
        OneValueCase{"KennungUnknown", 5, 5, {"KENNUNG=5"}, {}},
        OneValueCase{"OnlineReply", 2, 0, {"ONLINE"}, {}}, OneValueCase{"OtherParameter", 4, 99, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, StoresTheIdentificationValues) {
    PushValues(1, 3, {123});
    PushValues(1, 5, {11});
    PushValues(1, 6, {0x1F});
    PushValues(1, 12, {0x00020007});
    Drain();
    EXPECT_EQ(session.Serial, 123);
    EXPECT_EQ(session.Kennung, 11);
    EXPECT_EQ(session.Mode, 0x1F);
    EXPECT_EQ(session.VersionHigh, 2);
    EXPECT_EQ(session.VersionLow, 7);
    EXPECT_EQ(session.Online, 1);
    EXPECT_TRUE(session.SerialReported);
    EXPECT_TRUE(session.KennungReported);
}

// ---- Texts ----

struct TextCase {
    const char* name;
    int par;
    std::string sent; // up to 16 bytes, zero-filled
    std::string shown;
    std::string display;
    std::string logPrefix;
};

class TextReply : public SessionTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextReply, ShowsTheTextUpToItsZeroByte) {
    const TextCase& c = GetParam();
    PushValues(9, c.par, TextValues(c.sent));
    Drain();
    EXPECT_THAT(view.Calls(), ElementsAre(c.display + "=" + c.shown));
    EXPECT_THAT(LogLines(), ElementsAre("Q7Config::MsgCallback: MSG Obj(9," + std::to_string(c.par) + ")",
                                        "Q7Config::MsgCallback: MSG I32", c.logPrefix + c.shown));
    const char* stored = c.par == 2   ? session.Name
                         : c.par == 7 ? session.OemName
                         : c.par == 8 ? session.DeviceName
                                      : session.LibraryName;
    EXPECT_EQ(std::string(stored), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TextReply,
    ::testing::Values(TextCase{"ShortName", 2, "ABC", "ABC", "DSPMODNAME", "VskComTest::ReceivedName: NAME="},
                      TextCase{"FullName", 2, "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", "DSPMODNAME",
                               "VskComTest::ReceivedName: NAME="},
                      TextCase{"EmptyName", 2, "", "", "DSPMODNAME", "VskComTest::ReceivedName: NAME="},
                      TextCase{"OemName", 7, "Farquin", "Farquin", "OEMUSERNAME",
                               "VskComTest::ReceivedOEMName: NAME="},
                      TextCase{"DeviceName", 8, "Q7 Stage", "Q7 Stage", "OEMDEVICENAME",
                               "VskComTest::CheckDevice: ReceivedDeviceName="},
                      TextCase{"LibraryName", 9, "LIB-2.31", "LIB-2.31", "OEMLIBNAME",
                               "VskComTest::CheckDevice: ReceivedLibraryName="},
                      TextCase{"StopsAtFirstZero", 9, std::string("AB\0CD", 5), "AB", "OEMLIBNAME",
                               "VskComTest::CheckDevice: ReceivedLibraryName="}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Kinds and types without values for the handlers: exactly these log lines ----

struct LogCase {
    const char* name;
    int kind;
    int type;
    int obj;
    int par;
    int count;
    std::vector<std::string> logged;
};

class KindLog : public SessionTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(KindLog, LogsExactly) {
    const LogCase& c = GetParam();
    PushValues(c.obj, c.par, std::vector<int32_t>(c.count, 1), c.kind, c.type);
    Drain();
    EXPECT_THAT(LogLines(), ElementsAreArray(c.logged));
    EXPECT_THAT(view.Calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KindLog,
    ::testing::Values(
        LogCase{"Wok", KIND_WOK, TYPE_I32, 2, 10, 0, {"Q7Config::MsgCallback: WOK Obj(2,10)"}},
        LogCase{"Error", KIND_ERROR, TYPE_I32, 3, 5, 0, {"Q7Config::MsgCallback: Error Obj(3,5)"}},
        LogCase{"ReadIsSilent", KIND_READ, TYPE_I32, 1, 3, 0, {}},
        LogCase{"I8",
                KIND_VALUE,
                TYPE_I8,
                1,
                3,
                1,
                {"Q7Config::MsgCallback: MSG Obj(1,3)", "Q7Config::MsgCallback: MSG I8"}},
        LogCase{"I16",
                KIND_WRITE,
                TYPE_I16,
                9,
                2,
                1,
                {"Q7Config::MsgCallback: MSG Obj(9,2)", "Q7Config::MsgCallback: MSG I16"}},
        LogCase{"F32",
                KIND_VALUE,
                TYPE_F32,
                1,
                12,
                1,
                {"Q7Config::MsgCallback: MSG Obj(1,12)", "Q7Config::MsgCallback: MSG F32"}},
        LogCase{"NoType", KIND_VALUE, TYPE_NONE, 1, 2, 0, {"Q7Config::MsgCallback: MSG Obj(1,2)"}},
        LogCase{"UnsignedNumbers",
                KIND_WOK,
                TYPE_I32,
                65535,
                40000,
                0,
                {"Q7Config::MsgCallback: WOK Obj(65535,40000)"}},
        LogCase{"OtherObject",
                KIND_VALUE,
                TYPE_I32,
                5,
                2,
                1,
                {"Q7Config::MsgCallback: MSG Obj(5,2)", "Q7Config::MsgCallback: MSG I32"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, WriteKindIsHandledLikeValue) {
    PushValues(1, 3, {77}, KIND_WRITE);
    Drain();
    EXPECT_THAT(view.Calls(), ElementsAre("DSPMODSERIAL=00000077"));
}

// ---- Online, CONNECTED and CLOSED ----

TEST_F(SessionTest, ConnectedAloneDoesNotSetOnline) {
    session.CurrentDevice = 0;
    PushEvent(KIND_CONNECTED, 12);
    Drain();
    EXPECT_EQ(session.Online, 0);
    EXPECT_EQ(session.CurrentDevice, 12);
    EXPECT_THAT(view.Calls(), IsEmpty());
    EXPECT_THAT(LogLines(), ElementsAre("Q7Config::MsgCallback: CONNECTED"));
}

TEST_F(SessionTest, OnlineReplyAloneSetsOnline) {
    PushValues(1, 2, {0});
    Drain();
    EXPECT_EQ(session.Online, 1);
}

TEST_F(SessionTest, ClosedResetsTheConnectionAndKeepsTheValues) {
    PushValues(1, 3, {123});
    PushValues(9, 2, TextValues("DSP"));
    PushValues(1, 12, {0x00010004});
    Drain();
    ASSERT_EQ(session.Online, 1);
    view.Clear();
    PushEvent(KIND_CLOSED);
    Drain();
    EXPECT_EQ(session.Online, 0);
    EXPECT_EQ(session.CurrentDevice, 0);
    EXPECT_FALSE(session.SerialReported);
    EXPECT_THAT(view.Calls(), ElementsAre("OFFLINE", "CONNECT=Connect"));
    EXPECT_EQ(session.Serial, 123);
    EXPECT_STREQ(session.Name, "DSP");
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Q7Config::MsgCallback: CLOSED");
}

TEST_F(SessionTest, ClosedOfAnotherDeviceLeavesTheCurrentOneAlone) {
    PushValues(1, 2, {1});
    PushEvent(KIND_CLOSED, kHandle + 1);
    Drain();
    EXPECT_EQ(session.CurrentDevice, kHandle);
    EXPECT_EQ(session.Online, 1);
    EXPECT_THAT(view.Calls(), ElementsAre("ONLINE"));
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Q7Config::MsgCallback: CLOSED");
}

TEST_F(SessionTest, ConnectedStartsANewConnectionsReports) {
    PushValues(1, 3, {5});
    PushValues(1, 5, {19});
    Drain();
    PushEvent(KIND_CONNECTED, kHandle + 1);
    Drain();
    EXPECT_FALSE(session.SerialReported);
    EXPECT_FALSE(session.KennungReported);
    EXPECT_EQ(session.Kennung, 19); // the last value stays
}

// ---- Records that must neither stall the dispatch nor be read from stale bytes ----

TEST_F(SessionTest, RecordLargerThanTheBufferIsDroppedAndTheNextOneDispatched) {
    PushValues(2, 10, std::vector<int32_t>(1250, 0)); // 5000 bytes
    PushValues(1, 3, {9});
    Drain();
    EXPECT_EQ(con.GetMsgCount(), 0);
    EXPECT_THAT(view.Calls(), ElementsAre("DSPMODSERIAL=00000009"));
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(),
              "UpdateSession::MsgCallback: dropped Obj(2,10) with 5000 bytes (more than 4000)");
}

TEST_F(SessionTest, RecordOfExactlyTheOfferedSizeIsTaken) {
    PushValues(9, 2, std::vector<int32_t>(1000, 0x41414141)); // 4000 bytes
    Drain();
    EXPECT_THAT(view.Calls(), ElementsAre("DSPMODNAME=AAAAAAAAAAAAAAAA"));
}

struct ShortCase {
    const char* name;
    int obj;
    int par;
    int count;
    int needed;
};

class ShortReply : public SessionTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortReply, IsIgnoredWithALogLine) {
    const ShortCase& c = GetParam();
    // Fill the buffer with a full reply first, so stale bytes would show.
    PushValues(9, 9, TextValues("STALESTALESTALE"));
    Drain();
    view.Clear();
    PushValues(c.obj, c.par, std::vector<int32_t>(c.count, 0x5A5A5A5A));
    Drain();
    EXPECT_THAT(view.Calls(), IsEmpty());
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "UpdateSession::TakeValues: Obj(" + std::to_string(c.obj) + "," +
                                std::to_string(c.par) + ") ignored, " + std::to_string(c.count) + " of " +
                                std::to_string(c.needed) + " values");
}

INSTANTIATE_TEST_SUITE_P(Short, ShortReply,
                         ::testing::Values(ShortCase{"SerialWithoutValue", 1, 3, 0, 1},
                                           ShortCase{"ModeWithoutValue", 1, 6, 0, 1},
                                           ShortCase{"NameWithTwoValues", 9, 2, 2, 4},
                                           ShortCase{"LibraryNameWithOneValue", 9, 9, 1, 4},
                                           ShortCase{"OemNameWithThreeValues", 9, 7, 3, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, VersionWithoutValueStillSetsOnline) {
    PushValues(1, 12, {});
    Drain();
    EXPECT_EQ(session.Online, 1);
    EXPECT_THAT(view.Calls(), ElementsAre("ONLINE"));
}

TEST_F(SessionTest, EmptyQueueDoesNothing) {
    Drain();
    EXPECT_THAT(view.Calls(), IsEmpty());
    EXPECT_THAT(LogLines(), IsEmpty());
}

} // namespace
