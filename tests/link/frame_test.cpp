// The device wire format: bytes the encoders and the frame builder put on the wire, and
// the records the scanner and decoder make of received bytes, however they are split.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "tests/link/fakedevice.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A decoded record with its data, comparable.
struct Rec {
    int Handle = 0, Kind = 0, Type = 0, Obj = 0, Par = 0, Count = 0, Len = 0;
    Bytes Data; // Count > 1: the block; otherwise the 4 in-place bytes (Count 1 only)
    bool operator==(const Rec&) const = default;
};

void PrintTo(const Rec& r, std::ostream* os) {
    *os << "{h" << r.Handle << " kind" << r.Kind << " type" << r.Type << " Obj(" << r.Obj << "," << r.Par
        << ") count" << r.Count << " len" << r.Len << " data" << r.Data.size() << "}";
}

Rec Record(int kind, int type, int obj, int par, int count, int len, Bytes data = {}) {
    return Rec{7, kind, type, obj, par, count, len, std::move(data)};
}

Bytes Le32(int32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

MsgSink Collect(std::vector<Rec>& out) {
    return [&out](const Msg& m) {
        Rec r{m.Handle, m.Kind, m.Type, m.Obj, m.Par, m.Count, m.Len, {}};
        if (m.Count > 1)
            r.Data.assign(m.Buf.pU8, m.Buf.pU8 + m.Count * ElementSize(m.Type));
        else if (m.Count == 1)
            r.Data.assign(m.Buf.U8, m.Buf.U8 + 4);
        out.push_back(r);
    };
}

// Feeds the stream in pieces at the given cut points, scanning after each piece.
std::vector<Rec> Scan(const Bytes& stream, const std::vector<size_t>& cuts) {
    std::vector<Rec> out;
    RxBuffer buf;
    RxScanState state = RxScanState::Searching;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t end : ends) {
        buf.Append(stream.data() + from, end - from);
        ScanFrames(buf, state, 7, Collect(out));
        from = end;
    }
    return out;
}

// ---- bytes on the wire ----

TEST(FrameWire, KeepAliveAloneInAFrameIsTheWorkedExample) {
    TxMessages q;
    Bytes m;
    ASSERT_EQ(EncodeRequestI32(m, 0, 1), 12);
    q.push_back(m);
    Bytes frame;
    size_t removed = 0;
    ASSERT_EQ(BuildFrame(q, frame, removed), 24);
    const Bytes expected = {0xDA, 0xFE, 0x18, 0x00, 0x00, 0x00, 0xE8, 0xFF, 0x18, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xE7, 0xFF, 0xFE, 0xDA};
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(removed, 12u);
    EXPECT_TRUE(q.empty());
}

struct EncoderCase {
    std::string Name;
    std::function<int(Bytes&)> Encode;
    Bytes Expected;
};

class EncoderBytes : public testing::TestWithParam<EncoderCase> {};

TEST_P(EncoderBytes, HeaderAndDataAsOnTheWire) {
    Bytes out = {0xAA}; // encoders append
    const int n = GetParam().Encode(out);
    EXPECT_EQ(n, static_cast<int>(GetParam().Expected.size()));
    EXPECT_EQ(Bytes(out.begin() + 1, out.end()), GetParam().Expected);
}

const int32_t kWords[] = {0x11223344, -1};
const float kFloats[] = {1.0f, -2.5f};
const uint8_t kSmall[] = {1, 2, 3};

INSTANTIATE_TEST_SUITE_P(
    Encoders, EncoderBytes,
    testing::Values(
        EncoderCase{"RequestI32",
                    [](Bytes& o) { return EncodeRequestI32(o, 1, 12); },
                    {0x18, 0, 0, 0, 0, 0, 0, 0, 1, 0, 12, 0}},
        EncoderCase{"RequestI8KeepsLow16BitsOfObj",
                    [](Bytes& o) { return EncodeRequestI8(o, 0x12345, 0x10002); },
                    {0x08, 0, 0, 0, 0, 0, 0, 0, 0x45, 0x23, 2, 0}},
        EncoderCase{"RequestF32",
                    [](Bytes& o) { return EncodeRequestF32(o, 0xFFFF, 0x8000); },
                    {0x20, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x00, 0x80}},
        EncoderCase{"WriteI8",
                    [](Bytes& o) { return EncodeWriteI8(o, 3, 4, kSmall, 3); },
                    {0x89, 3, 0, 0, 0, 0, 0, 0, 3, 0, 4, 0, 1, 2, 3}},
        EncoderCase{"WriteI32LittleEndian",
                    [](Bytes& o) { return EncodeWriteI32(o, 5, 6, kWords, 2); },
                    {0x99, 8, 0, 0, 0, 0, 0, 0, 5, 0, 6, 0, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0xFF, 0xFF}},
        EncoderCase{"WriteF32",
                    [](Bytes& o) { return EncodeWriteF32(o, 7, 8, kFloats, 2); },
                    {0xA1, 8, 0, 0, 0, 0, 0, 0, 7, 0, 8, 0, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0}},
        EncoderCase{"WriteI32NoValues",
                    [](Bytes& o) { return EncodeWriteI32(o, 1, 2, nullptr, 0); },
                    {0x99, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0}},
        EncoderCase{"RawKindByte",
                    [](Bytes& o) { return EncodeMsg(o, 0x5D, 9, 10, kSmall, 2); },
                    {0x5D, 2, 0, 0, 0, 0, 0, 0, 9, 0, 10, 0, 1, 2}}),
    [](const testing::TestParamInfo<EncoderCase>& i) { return i.param.Name; });

struct LimitCase {
    std::string Name;
    std::function<int(Bytes&)> Encode;
    int Expected; // bytes appended, -1 refused
};

class EncoderLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(EncoderLimits, DataBeyond2488BytesAreRefusedWithNothingAppended) {
    Bytes out;
    EXPECT_EQ(GetParam().Encode(out), GetParam().Expected);
    EXPECT_EQ(out.size(), GetParam().Expected < 0 ? 0u : static_cast<size_t>(GetParam().Expected));
}

const Bytes kBig(4000, 0x5A);
const std::vector<int32_t> kBigWords(1000, 7);

INSTANTIATE_TEST_SUITE_P(
    Encoders, EncoderLimits,
    testing::Values(
        LimitCase{"I8At2488", [](Bytes& o) { return EncodeWriteI8(o, 0, 0, kBig.data(), 2488); }, 2500},
        LimitCase{"I8At2489", [](Bytes& o) { return EncodeWriteI8(o, 0, 0, kBig.data(), 2489); }, -1},
        LimitCase{"I32At622", [](Bytes& o) { return EncodeWriteI32(o, 0, 0, kBigWords.data(), 622); }, 2500},
        LimitCase{"I32At623", [](Bytes& o) { return EncodeWriteI32(o, 0, 0, kBigWords.data(), 623); }, -1},
        LimitCase{"NegativeCount", [](Bytes& o) { return EncodeWriteI8(o, 0, 0, kBig.data(), -1); }, -1},
        LimitCase{"MissingData", [](Bytes& o) { return EncodeWriteI8(o, 0, 0, nullptr, 4); }, -1}),
    [](const testing::TestParamInfo<LimitCase>& i) { return i.param.Name; });

TEST(FrameWire, MessagesGoOutWholeInQueueOrderAndThe2500BytePayloadLimitStartsANewFrame) {
    TxMessages q;
    for (int i = 0; i < 3; ++i) {
        Bytes m;
        const Bytes data(1238, static_cast<uint8_t>(i)); // 1250 bytes with the header
        EncodeWriteI8(m, i, 0, data.data(), static_cast<int>(data.size()));
        q.push_back(m);
    }
    Bytes first, second;
    size_t removed = 0;
    ASSERT_EQ(BuildFrame(q, first, removed), 2512); // exactly 2500 payload bytes
    EXPECT_EQ(removed, 2500u);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(first[8 + 8], 0);        // Obj of the first message
    EXPECT_EQ(first[8 + 1250 + 8], 1); // then the second
    ASSERT_EQ(BuildFrame(q, second, removed), 1262);
    EXPECT_EQ(second[8 + 8], 2);
    EXPECT_TRUE(q.empty());

    // One byte more than fits: the second message waits for the next frame.
    Bytes a, b;
    EncodeWriteI8(a, 1, 0, kBig.data(), 1238);
    EncodeWriteI8(b, 2, 0, kBig.data(), 1239);
    q = {a, b};
    ASSERT_EQ(BuildFrame(q, first, removed), 1262);
    EXPECT_EQ(q.size(), 1u);
}

TEST(FrameWire, BuiltFramesCarryValidChecksumsAndMarkers) {
    TxMessages q;
    Bytes m;
    EncodeWriteI32(m, 300, 400, kWords, 2);
    q.push_back(m);
    m.clear();
    EncodeRequestF32(m, 1, 2);
    q.push_back(m);
    Bytes frame;
    size_t removed = 0;
    const int len = BuildFrame(q, frame, removed);
    ASSERT_EQ(len, static_cast<int>(frame.size()));
    EXPECT_EQ(frame[2] | frame[3] << 8, len);
    EXPECT_EQ(frame[6] | frame[7] << 8, FrameChecksum(&frame[2], 4));
    EXPECT_EQ(frame[len - 4] | frame[len - 3] << 8, FrameChecksum(&frame[8], len - 12));
    EXPECT_EQ(frame[len - 2], 0xFE);
    EXPECT_EQ(frame[len - 1], 0xDA);
}

TEST(FrameWire, EmptyQueueBuildsNothingAndAnUnframeableEntryIsDropped) {
    TxMessages q;
    Bytes frame = {1, 2, 3};
    size_t removed = 9;
    EXPECT_EQ(BuildFrame(q, frame, removed), 0);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(removed, 0u);

    Bytes ok;
    EncodeRequestI32(ok, 0, 1);
    q = {Bytes(2600, 0), ok};
    EXPECT_EQ(BuildFrame(q, frame, removed), 24);
    EXPECT_EQ(removed, 2612u);
    EXPECT_TRUE(q.empty());
}

struct SumCase {
    std::string Name;
    Bytes In;
    uint16_t Expected;
};

class Checksum : public testing::TestWithParam<SumCase> {};

TEST_P(Checksum, IsTheTwosComplementOfThe16BitByteSum) {
    EXPECT_EQ(FrameChecksum(GetParam().In.data(), GetParam().In.size()), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    FrameWire, Checksum,
    testing::Values(SumCase{"Empty", {}, 0}, SumCase{"KeepAliveHeader", {0x18, 0, 0, 0}, 0xFFE8},
                    SumCase{"KeepAlivePayload", {0x18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0xFFE7},
                    SumCase{"CarryIntoHighByte", {0x80, 0x80}, 0xFF00},
                    SumCase{"SumWrapsTo0", Bytes(257, 0xFF), 0x0001},
                    SumCase{"Exactly65536", Bytes(256, 0xFF), 0x0100}),
    [](const testing::TestParamInfo<SumCase>& i) { return i.param.Name; });

// ---- scanner and decoder ----

struct ScanCase {
    std::string Name;
    Bytes Stream;
    std::vector<Rec> Expected;
};

const Bytes kValueFrame = TestFrame(TestMessage(0x1A, 1, 12, Le32(4711)));
const Rec kValueRec = Record(KIND_VALUE, TYPE_I32, 1, 12, 1, 4, Le32(4711));

std::vector<ScanCase> ScanCases() {
    std::vector<ScanCase> c;
    c.push_back(
        {"TwoSingleI32ValuesInOneFrame",
         TestFrame(Cat({TestMessage(0x1A, 1, 2, Le32(-5)), TestMessage(0x19, 3, 4, Le32(0x01020304))})),
         {Record(KIND_VALUE, TYPE_I32, 1, 2, 1, 4, Le32(-5)),
          Record(KIND_WRITE, TYPE_I32, 3, 4, 1, 4, Le32(0x01020304))}});
    c.push_back({"I32WithEightBytesIsAHeapBlockOfTwo",
                 TestFrame(TestMessage(0x1A, 5, 6, Cat({Le32(1), Le32(2)}))),
                 {Record(KIND_VALUE, TYPE_I32, 5, 6, 2, 8, Cat({Le32(1), Le32(2)}))}});
    c.push_back({"WokWithoutDataThenNextMessage",
                 TestFrame(Cat({TestMessage(0x03, 9, 9, {}), TestMessage(0x1A, 1, 12, Le32(4711))})),
                 {Record(KIND_WOK, TYPE_NONE, 9, 9, 0, 0), kValueRec}});
    c.push_back({"ErrorReplyConsumesFourBytesWhateverItsLength",
                 TestFrame(Cat({TestMessage(0x04, 1, 1, {0xE1, 0xE2, 0xE3, 0xE4}, 0),
                                TestMessage(0x1A, 1, 12, Le32(4711))})),
                 {Record(KIND_ERROR, TYPE_NONE, 1, 1, 0, 0), kValueRec}});
    c.push_back({"Command5IsAnErrorToo",
                 TestFrame(Cat({TestMessage(0x1D, 2, 3, Le32(77), 2), TestMessage(0x1A, 1, 12, Le32(4711))})),
                 {Record(KIND_ERROR, TYPE_I32, 2, 3, 0, 2), kValueRec}});
    c.push_back({"ErrorReplyWithFullValue",
                 TestFrame(TestMessage(0x1C, 2, 3, Le32(77))),
                 {Record(KIND_ERROR, TYPE_I32, 2, 3, 1, 4, Le32(77))}});
    c.push_back({"ErrorLengthPastThePayloadStopsTheFrame",
                 Cat({TestFrame(Cat({TestMessage(0x04, 1, 1, Le32(0), 100)})), kValueFrame}),
                 {kValueRec}});
    c.push_back({"GarbageBeforeAFrame",
                 Cat({Bytes{0x00, 0xDA, 0x13, 0xFE, 0xFE, 0xFE, 0xDA}, kValueFrame}),
                 {kValueRec}});
    c.push_back({"OnlyGarbage", Bytes(100, 0x55), {}});
    Bytes wrongEnd = kValueFrame;
    wrongEnd.back() = 0xDB;
    c.push_back({"WrongEndMarkerThenAGoodFrame", Cat({wrongEnd, kValueFrame}), {kValueRec}});
    c.push_back({"LengthBelow12ThenAGoodFrame",
                 Cat({Bytes{0xDA, 0xFE, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kValueFrame}),
                 {kValueRec}});
    c.push_back(
        {"MessageRunningPastItsFrameIsNotDelivered",
         Cat({TestFrame(Cat({TestMessage(0x1A, 4, 4, Le32(1)), TestMessage(0x1A, 5, 5, Le32(2), 40)})),
              kValueFrame}),
         {Record(KIND_VALUE, TYPE_I32, 4, 4, 1, 4, Le32(1)), kValueRec}});
    // Inside the payload of a frame whose decoding stopped lies what looks like a frame:
    // it is part of the payload and yields nothing.
    c.push_back({"NoFrameIsTakenFromInsideAPayload",
                 Cat({TestFrame(Cat({TestMessage(0x1A, 5, 5, Le32(2), 60), kValueFrame})), kValueFrame}),
                 {kValueRec}});
    c.push_back({"InvalidCommandsAndTypesAreDropped",
                 TestFrame(Cat({TestMessage(0x1E, 1, 1, Le32(1)), TestMessage(0x1F, 1, 1, Le32(1)),
                                TestMessage(0x2A, 1, 1, Le32(1)), TestMessage(0x3A, 1, 1, Le32(1)),
                                TestMessage(0x1A, 1, 12, Le32(4711))})),
                 {kValueRec}});
    c.push_back({"FlagBitsAreIgnored", TestFrame(TestMessage(0xDA, 1, 12, Le32(4711))), {kValueRec}});
    c.push_back({"SingleI8IsTheByteThenZeros",
                 TestFrame(TestMessage(0x0A, 1, 2, {0xAB})),
                 {Record(KIND_VALUE, TYPE_I8, 1, 2, 1, 1, {0xAB, 0, 0, 0})}});
    c.push_back({"I16CountRoundsDown",
                 TestFrame(TestMessage(0x12, 1, 2, {1, 2, 3, 4, 5, 6, 7})),
                 {Record(KIND_VALUE, TYPE_I16, 1, 2, 3, 7, {1, 2, 3, 4, 5, 6})}});
    c.push_back({"F32BlockOfNine",
                 TestFrame(TestMessage(0x22, 1, 2, Bytes(9, 0x3F))),
                 {Record(KIND_VALUE, TYPE_F32, 1, 2, 2, 9, Bytes(8, 0x3F))}});
    c.push_back({"ShortI32IsCountZero",
                 TestFrame(TestMessage(0x1A, 1, 2, {9, 9})),
                 {Record(KIND_VALUE, TYPE_I32, 1, 2, 0, 2)}});
    c.push_back({"EmptyFrameThenAGoodOne", Cat({TestFrame({}), kValueFrame}), {kValueRec}});
    c.push_back(
        {"LeftoverBelow12BytesIsIgnored",
         Cat({TestFrame(Cat({TestMessage(0x1A, 1, 12, Le32(4711)), Bytes{1, 2, 3, 4, 5}})), kValueFrame}),
         {kValueRec, kValueRec}});
    Bytes huge(65535 - 24, 0x5A);
    c.push_back({"FrameOf65535Bytes",
                 Cat({TestFrame(TestMessage(0x0A, 3, 3, huge)), kValueFrame}),
                 {Record(KIND_VALUE, TYPE_I8, 3, 3, 65511, 65511, huge), kValueRec}});
    // Garbage of 12+ bytes whose last byte starts the marker of the following frame.
    c.push_back({"MarkerSplitAfterLongGarbage", Cat({Bytes(20, 0x11), kValueFrame}), {kValueRec}});
    return c;
}

class Scanner : public testing::TestWithParam<ScanCase> {};

TEST_P(Scanner, SameRecordsWholeByteByByteAndAtEverySplit) {
    const ScanCase& c = GetParam();
    EXPECT_EQ(Scan(c.Stream, {}), c.Expected) << "whole";
    if (c.Stream.size() > 5000) {
        // Large frames: a few splits around the ends are enough.
        for (size_t cut : {size_t{1}, size_t{11}, size_t{12}, c.Stream.size() - 30, c.Stream.size() - 1})
            EXPECT_EQ(Scan(c.Stream, {cut}), c.Expected) << "split at " << cut;
        return;
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < c.Stream.size(); ++i)
        every.push_back(i);
    EXPECT_EQ(Scan(c.Stream, every), c.Expected) << "byte by byte";
    for (size_t cut = 1; cut < c.Stream.size(); ++cut)
        ASSERT_EQ(Scan(c.Stream, {cut}), c.Expected) << "split at " << cut;
}

INSTANTIATE_TEST_SUITE_P(FrameScan, Scanner, testing::ValuesIn(ScanCases()),
                         [](const testing::TestParamInfo<ScanCase>& i) { return i.param.Name; });

TEST(FrameScan, RandomStreamsGiveTheSameRecordsInAnyPieces) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        Bytes stream;
        const int parts = 1 + static_cast<int>(rng() % 8);
        for (int p = 0; p < parts; ++p) {
            switch (rng() % 4) {
            case 0: { // garbage
                const size_t n = rng() % 40;
                for (size_t i = 0; i < n; ++i)
                    stream.push_back(static_cast<uint8_t>(rng()));
                break;
            }
            default: { // a frame of a few random messages
                Bytes payload;
                const int msgs = static_cast<int>(rng() % 4);
                for (int m = 0; m < msgs; ++m) {
                    Bytes data(rng() % 20);
                    for (auto& b : data)
                        b = static_cast<uint8_t>(rng());
                    const Bytes msg = TestMessage(static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()),
                                                  static_cast<uint16_t>(rng()), data);
                    payload.insert(payload.end(), msg.begin(), msg.end());
                }
                const Bytes f = TestFrame(payload);
                stream.insert(stream.end(), f.begin(), f.end());
            }
            }
        }
        const std::vector<Rec> whole = Scan(stream, {});
        std::vector<size_t> cuts;
        for (size_t at = rng() % 7; at < stream.size(); at += 1 + rng() % 13)
            if (at > 0)
                cuts.push_back(at);
        ASSERT_EQ(Scan(stream, cuts), whole) << "round " << round;
    }
}

struct DeliverCase {
    std::string Name;
    uint8_t Kind;
    int Result;
};

class Deliver : public testing::TestWithParam<DeliverCase> {};

TEST_P(Deliver, InvalidCommandsAndTypesDeliverNothing) {
    int delivered = 0;
    const Bytes data = Le32(1);
    EXPECT_EQ(DeliverMsg(GetParam().Kind, 1, 2, 4, data.data(), 3, [&](const Msg&) { ++delivered; }),
              GetParam().Result);
    EXPECT_EQ(delivered, GetParam().Result >= 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(FrameScan, Deliver,
                         testing::Values(DeliverCase{"Read", 0x18, 4}, DeliverCase{"Error5", 0x1D, 4},
                                         DeliverCase{"Command6", 0x1E, -1}, DeliverCase{"Command7", 0x07, -1},
                                         DeliverCase{"Type5", 0x2A, -2}, DeliverCase{"Type7", 0x3A, -2}),
                         [](const testing::TestParamInfo<DeliverCase>& i) { return i.param.Name; });

TEST(FrameScan, ReceiveBufferKeepsItsBytesAcrossConsumingAndCompacting) {
    std::mt19937 rng(7);
    RxBuffer buf;
    std::deque<uint8_t> model;
    uint8_t next = 0;
    for (int step = 0; step < 5000; ++step) {
        if (rng() % 2) {
            Bytes add(rng() % 300);
            for (auto& b : add)
                b = next++;
            buf.Append(add.data(), add.size());
            model.insert(model.end(), add.begin(), add.end());
        } else {
            const size_t n = rng() % 400;
            buf.Consume(n);
            model.erase(model.begin(),
                        model.begin() + static_cast<std::ptrdiff_t>(std::min(n, model.size())));
        }
        ASSERT_EQ(buf.Size(), model.size());
        ASSERT_TRUE(std::equal(model.begin(), model.end(), buf.Data()));
    }
}

} // namespace
