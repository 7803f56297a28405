// The simulated device over byte buffers: identification replies, acknowledgements, the flash
// model's reassembly and order checks, its report, and the simulator's command line.
#include "tools/fwdevsim/simdevice.h"
#include "tools/fwdevsim/simoptions.h"
#include "update/firmwareimage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <variant>

namespace {

struct Reply {
    int Kind, Type, Obj, Par, Len;
    std::vector<uint8_t> Data;
};

// Frames the encoded messages the way the tool does.
std::vector<uint8_t> Frames(std::vector<std::vector<uint8_t>> messages) {
    TxMessages queue(messages.begin(), messages.end());
    std::vector<uint8_t> stream;
    while (!queue.empty()) {
        std::vector<uint8_t> frame;
        size_t removed = 0;
        BuildFrame(queue, frame, removed);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

std::vector<uint8_t> Request(int obj, int par) {
    std::vector<uint8_t> m;
    EncodeRequestI32(m, obj, par);
    return m;
}

std::vector<uint8_t> WriteI32(int obj, int par, std::vector<int32_t> values) {
    std::vector<uint8_t> m;
    EncodeWriteI32(m, obj, par, values.data(), static_cast<int>(values.size()));
    return m;
}

std::vector<uint8_t> WriteI8(int obj, int par, const uint8_t* data, size_t n) {
    std::vector<uint8_t> m;
    EncodeWriteI8(m, obj, par, data, static_cast<int>(n));
    return m;
}

// Decodes reply frames with the link's own scanner.
std::vector<Reply> Decode(const std::vector<std::vector<uint8_t>>& frames) {
    RxBuffer buf;
    RxScanState state = RxScanState::Searching;
    std::vector<Reply> out;
    for (const auto& f : frames) {
        buf.Append(f.data(), f.size());
    }
    ScanFrames(buf, state, 1, [&](const Msg& m) {
        Reply r{m.Kind, m.Type, m.Obj, m.Par, m.Len, {}};
        const size_t n = static_cast<size_t>(m.Count) * ElementSize(m.Type);
        const uint8_t* p = m.Count > 1 ? m.Buf.pU8 : m.Buf.U8;
        r.Data.assign(p, p + n);
        out.push_back(r);
    });
    return out;
}

std::vector<Reply> Exchange(SimDevice& dev, std::vector<std::vector<uint8_t>> messages) {
    const auto stream = Frames(std::move(messages));
    return Decode(dev.Feed(stream.data(), stream.size()));
}

uint32_t U32(const std::vector<uint8_t>& d, size_t at = 0) {
    uint32_t v = 0;
    std::memcpy(&v, d.data() + at, 4);
    return v;
}

// The messages of a whole update of image as the tool sends them, pages in order.
std::vector<std::vector<uint8_t>> UpdateMessages(const std::vector<uint8_t>& image, const std::string& name) {
    std::vector<std::vector<uint8_t>> m;
    m.push_back(WriteI32(10, 9, {1}));
    m.push_back(WriteI32(2, 6, {static_cast<int32_t>(DateValue(2024, 12, 6))}));
    m.push_back(WriteI32(2, 7, {3}));
    m.push_back(WriteI32(2, 8, {9}));
    const auto block = FirmwareNameBlock(name);
    m.push_back(WriteI32(2, 4, {block.begin(), block.end()}));
    m.push_back(WriteI32(2, 9, {0}));
    const auto converted = ConvertImage(image.data(), image.size());
    for (int64_t p = 0; p < PageCount(static_cast<int64_t>(image.size())); ++p) {
        const size_t off = static_cast<size_t>(p) * kPageSize;
        const auto a = *PageAddressOf(p);
        m.push_back(WriteI8(a.Obj, a.Par, converted.data() + off, std::min(kPageSize, image.size() - off)));
    }
    m.push_back(WriteI32(2, 5, {0}));
    m.push_back(WriteI32(10, 9, {0}));
    return m;
}

struct IdCase {
    int Obj, Par;
    std::vector<uint8_t> Expected;
};

std::vector<uint8_t> Le(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> Text16(const std::string& s) {
    std::vector<uint8_t> d(16, 0);
    std::memcpy(d.data(), s.data(), s.size());
    return d;
}

class IdentificationReply : public testing::TestWithParam<IdCase> {};

SimIdentity TestIdentity() {
    SimIdentity id;
    id.Kennung = 23;
    id.Serial = 123;
    id.VersionHigh = 65535;
    id.VersionLow = 0;
    id.Mode = 31;
    id.Name = "ABC";
    id.OemName = "0123456789abcdef"; // all 16 bytes used, no zero
    id.DeviceName = "Dev";
    id.LibraryName = "Lib";
    return id;
}

TEST_P(IdentificationReply, AnswersWithI32ValuesAsConfigured) {
    SimDevice dev(TestIdentity());
    const auto& c = GetParam();
    const auto replies = Exchange(dev, {Request(c.Obj, c.Par)});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].Kind, KIND_VALUE);
    EXPECT_EQ(replies[0].Type, TYPE_I32);
    EXPECT_EQ(replies[0].Obj, c.Obj);
    EXPECT_EQ(replies[0].Par, c.Par);
    EXPECT_EQ(replies[0].Data, c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Objects, IdentificationReply,
                         testing::Values(IdCase{0, 1, Le(1)}, IdCase{1, 2, Le(1)}, IdCase{1, 3, Le(123)},
                                         IdCase{1, 5, Le(23)}, IdCase{1, 6, Le(31)},
                                         IdCase{1, 12, Le(0xFFFF0000u)}, IdCase{9, 2, Text16("ABC")},
                                         IdCase{9, 7, Text16("0123456789abcdef")},
                                         IdCase{9, 8, Text16("Dev")}, IdCase{9, 9, Text16("Lib")}));

TEST(SimDevice, NineRequestsInOneFrameGetNineRepliesInOrder) {
    SimDevice dev;
    const std::vector<std::pair<int, int>> objs = {{1, 2}, {1, 3}, {1, 5}, {1, 6}, {1, 12},
                                                   {9, 2}, {9, 7}, {9, 8}, {9, 9}};
    std::vector<std::vector<uint8_t>> reqs;
    for (auto [o, p] : objs) {
        reqs.push_back(Request(o, p));
    }
    const auto stream = Frames(reqs);
    const auto frames = dev.Feed(stream.data(), stream.size());
    EXPECT_EQ(frames.size(), 1u);
    const auto replies = Decode(frames);
    ASSERT_EQ(replies.size(), objs.size());
    for (size_t i = 0; i < objs.size(); ++i) {
        EXPECT_EQ(replies[i].Obj, objs[i].first);
        EXPECT_EQ(replies[i].Par, objs[i].second);
    }
    EXPECT_EQ(U32(replies[2].Data), 19u) << "the default OEM id";
}

TEST(SimDevice, BytesArrivingOneAtATimeGetTheSameReplies) {
    SimDevice dev;
    const auto stream = Frames({Request(1, 2), Request(1, 5), WriteI32(2, 7, {4})});
    std::vector<std::vector<uint8_t>> frames;
    for (uint8_t b : stream) {
        for (auto& f : dev.Feed(&b, 1)) {
            frames.push_back(f);
        }
    }
    const auto replies = Decode(frames);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1].Obj, 1);
    EXPECT_EQ(replies[1].Par, 5);
    EXPECT_EQ(replies[2].Kind, KIND_WOK);
}

TEST(SimDevice, NoAnswerObjectIsLeftOutAndUnknownObjectGetsAnError) {
    SimIdentity id;
    id.NoAnswer.insert({1, 5});
    SimDevice dev(id);
    const auto replies = Exchange(dev, {Request(1, 2), Request(1, 5), Request(7, 7)});
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].Par, 2);
    EXPECT_EQ(replies[1].Kind, KIND_ERROR);
    EXPECT_EQ(replies[1].Obj, 7);
    EXPECT_EQ(replies[1].Len, 4);
    EXPECT_EQ(dev.Report().Reads, 3);
}

TEST(SimDevice, EveryWriteIsAcknowledgedWithAnEmptyWokForTheSameObject) {
    SimDevice dev;
    const uint8_t bytes[3] = {1, 2, 3};
    const auto replies = Exchange(dev, {WriteI32(10, 9, {1}), WriteI8(2, 10, bytes, 3),
                                        WriteI32(55, 66, {1, 2}), WriteI8(4, 65535, bytes, 1)});
    ASSERT_EQ(replies.size(), 4u);
    const std::vector<std::pair<int, int>> objs = {{10, 9}, {2, 10}, {55, 66}, {4, 65535}};
    for (size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].Kind, KIND_WOK);
        EXPECT_EQ(replies[i].Len, 0);
        EXPECT_EQ(replies[i].Obj, objs[i].first);
        EXPECT_EQ(replies[i].Par, objs[i].second);
    }
    EXPECT_EQ(dev.Report().Writes, 4);
}

class ImageReassembly : public testing::TestWithParam<size_t> {};

TEST_P(ImageReassembly, ReportHoldsTheOriginalImageAndTheAnnouncement) {
    const size_t size = GetParam();
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    SimDevice dev;
    const auto msgs = UpdateMessages(image, "DSPMAIN");
    const auto replies = Exchange(dev, msgs);
    EXPECT_EQ(replies.size(), msgs.size());
    const auto r = dev.Report();
    EXPECT_EQ(r.Image, image);
    EXPECT_EQ(r.Pages, PageCount(static_cast<int64_t>(size)));
    EXPECT_EQ(r.Bytes, static_cast<int64_t>(size));
    EXPECT_EQ(r.OrderErrors, 0) << (r.Problems.empty() ? "" : r.Problems[0]);
    EXPECT_TRUE(r.UpdateStarted && r.UpdateEnded && r.ImageEnded);
    EXPECT_TRUE(r.Whole);
    EXPECT_EQ(r.Erases, 1);
    EXPECT_EQ(r.Name, "DSPMAIN");
    EXPECT_EQ(r.Version, 3);
    EXPECT_EQ(r.Revision, 9);
    EXPECT_EQ(DateText(*r.Date), "2024-12-06");
}

// Lengths around page and word boundaries, including trailing partial words, and the step from
// object 2 to 3 (page 246) and from 3 to 4 (page 502).
INSTANTIATE_TEST_SUITE_P(Sizes, ImageReassembly,
                         testing::Values(1, 3, 4, 5, 255, 256, 257, 1023, 246 * 256 + 2, 503 * 256 + 1));

struct OrderCase {
    const char* Name;
    bool Erase;
    std::vector<int64_t> Pages;
    std::vector<size_t> Sizes; // per page; empty: 256 each
    int64_t OrderErrors;
};

class PageOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(PageOrder, CountsOrderErrors) {
    const auto& c = GetParam();
    SimDevice dev;
    std::vector<std::vector<uint8_t>> msgs;
    if (c.Erase) {
        msgs.push_back(WriteI32(2, 9, {0}));
    }
    const std::vector<uint8_t> page(256, 0x5A);
    for (size_t i = 0; i < c.Pages.size(); ++i) {
        const auto a = *PageAddressOf(c.Pages[i]);
        msgs.push_back(WriteI8(a.Obj, a.Par, page.data(), c.Sizes.empty() ? 256 : c.Sizes[i]));
    }
    msgs.push_back(WriteI32(2, 5, {0}));
    msgs.push_back(WriteI32(10, 9, {0}));
    Exchange(dev, msgs);
    const auto r = dev.Report();
    EXPECT_EQ(r.OrderErrors, c.OrderErrors);
    EXPECT_EQ(r.Pages, static_cast<int64_t>(c.Pages.size()));
    EXPECT_EQ(r.Whole, c.OrderErrors == 0) << "a whole image has every page in order";
}

INSTANTIATE_TEST_SUITE_P(Sequences, PageOrder,
                         testing::Values(OrderCase{"InOrder", true, {0, 1, 2, 3}, {}, 0},
                                         OrderCase{"Skipped", true, {0, 2, 3}, {}, 1},
                                         OrderCase{"Repeated", true, {0, 1, 1, 2}, {}, 1},
                                         OrderCase{"Backwards", true, {1, 0}, {}, 2},
                                         OrderCase{"NoErase", false, {0, 1}, {}, 2},
                                         OrderCase{"AfterShortPage", true, {0, 1}, {100, 256}, 1},
                                         OrderCase{"ObjectBoundaries", true, {244, 245, 246, 247}, {}, 1}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SimDevice, PageAfterEndOfImageIsAnOrderError) {
    SimDevice dev;
    const uint8_t b = 1;
    Exchange(dev, {WriteI32(2, 9, {0}), WriteI8(2, 10, &b, 1), WriteI32(2, 5, {0}), WriteI8(2, 11, &b, 1)});
    EXPECT_EQ(dev.Report().OrderErrors, 2) << "after the end, and after a short page";
}

// The update start (2,9) and pages 0, 1 and 2 at (2,10)-(2,12).
std::vector<std::vector<uint8_t>> UpdateStartAndThreePages() {
    const std::vector<uint8_t> page(256, 1);
    return {WriteI32(2, 9, {0}), WriteI8(2, 10, page.data(), 256), WriteI8(2, 11, page.data(), 256),
            WriteI8(2, 12, page.data(), 256)};
}

TEST(SimDevice, ErrorOnPageRepliesWithAnErrorInsteadOfWok) {
    SimModelFaults faults;
    faults.ErrorOnPage = 1;
    SimDevice dev({}, faults);
    const auto replies = Exchange(dev, UpdateStartAndThreePages());
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[1].Kind, KIND_WOK);
    EXPECT_EQ(replies[2].Kind, KIND_ERROR);
    EXPECT_EQ(replies[2].Par, 11);
    EXPECT_EQ(replies[2].Len, 4);
    EXPECT_EQ(replies[3].Kind, KIND_WOK);
    EXPECT_EQ(dev.Report().ErrorReplies, 1);
}

TEST(SimDevice, CloseAfterPagesStopsListeningAtThatPage) {
    SimModelFaults faults;
    faults.CloseAfterPages = 2;
    SimDevice dev({}, faults);
    const auto replies = Exchange(dev, UpdateStartAndThreePages());
    EXPECT_TRUE(dev.WantsClose());
    EXPECT_EQ(replies.size(), 3u);
    EXPECT_EQ(dev.Report().Pages, 2);
}

// A device that takes time for each page handles one page at a time: it stops before each, and what came
// after a page waits for it.
TEST(SimDevice, HeldPagesAreWrittenOneAtATimeAndWhatFollowsWaits) {
    SimDevice dev;
    dev.HoldPages(true);
    auto msgs = UpdateStartAndThreePages();
    msgs.push_back(Request(1, 3));
    const auto stream = Frames(msgs);
    auto replies = Decode(dev.Feed(stream.data(), stream.size()));
    ASSERT_EQ(replies.size(), 1u) << "the erase only";
    for (int page = 0; page < 3; ++page) {
        ASSERT_TRUE(dev.PageWaiting()) << page;
        EXPECT_EQ(dev.Report().Pages, page);
        replies = Decode(dev.Continue());
        ASSERT_FALSE(replies.empty());
        EXPECT_EQ(replies[0].Kind, KIND_WOK);
        EXPECT_EQ(replies[0].Par, 10 + page);
    }
    EXPECT_FALSE(dev.PageWaiting());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].Obj, 1) << "the read after the last page, answered once it is written";
    EXPECT_EQ(dev.Report().Reads, 1);
}

TEST(SimDevice, ResetForgetsTheLastSession) {
    SimDevice dev;
    const auto msgs = UpdateMessages(std::vector<uint8_t>(300, 7), "X");
    Exchange(dev, msgs);
    dev.Reset();
    const auto r = dev.Report();
    EXPECT_EQ(r.Pages, 0);
    EXPECT_TRUE(r.Image.empty());
    EXPECT_FALSE(r.Name.has_value());
    EXPECT_EQ(r.Writes, 0);
}

TEST(SimDevice, JsonLineCarriesTheReportWithTextsEscaped) {
    SimDevice dev;
    // A byte above 0x7F is its Latin-1 character.
    Exchange(dev, UpdateMessages({'a', 'b', 'c'}, "Q\"\\\x01\xFC"));
    const std::string j = SimDevice::ToJson("127.0.0.9", dev.Report(), "peer-close", 2, "127.0.0.1:5", 2101);
    for (const char* part :
         {"{\"address\":\"127.0.0.9\",\"session\":2,", "\"peer\":\"127.0.0.1:5\"", "\"port\":2101",
          "\"end\":\"peer-close\"", "\"name\":\"Q\\\"\\\\\\u0001\\u00fc\"", "\"dateYmd\":\"2024-12-06\"",
          "\"checksum\":1378", "\"pages\":1", "\"bytes\":3", "\"orderErrors\":0", "\"updateEnded\":true"}) {
        EXPECT_NE(j.find(part), std::string::npos) << part << " in " << j;
    }
    EXPECT_EQ(j.find('\n'), std::string::npos);
    // Added last, so that what reads the fields by position still finds them.
    EXPECT_EQ(j.substr(j.rfind(",\"imageEndedAt\":")), ",\"imageEndedAt\":null,\"whole\":true}");
}

TEST(PageIndexOf, InvertsThePageAddressing) {
    for (int64_t p : {0, 1, 245, 246, 501, 502, 503, 502 + 65535}) {
        const auto a = *PageAddressOf(p);
        EXPECT_EQ(PageIndexOf(a.Obj, a.Par), p);
    }
    EXPECT_FALSE(PageIndexOf(2, 9).has_value());
    EXPECT_FALSE(PageIndexOf(1, 10).has_value());
}

struct ArgsCase {
    std::vector<std::string> Args;
    bool Ok;
};

class SimCommandLine : public testing::TestWithParam<ArgsCase> {};

TEST_P(SimCommandLine, AcceptsGoodAndRejectsBadValues) {
    const auto r = ParseSimOptions(GetParam().Args);
    EXPECT_EQ(std::holds_alternative<SimOptions>(r), GetParam().Ok)
        << (std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "");
}

INSTANTIATE_TEST_SUITE_P(
    Values, SimCommandLine,
    testing::Values(ArgsCase{{}, true}, ArgsCase{{"--port", "0", "--no-reconnect-port", "--once"}, true},
                    ArgsCase{{"--version", "1.4"}, true}, ArgsCase{{"--version", "14"}, false},
                    ArgsCase{{"--version", "1.65536"}, false}, ArgsCase{{"--port", "65536"}, false},
                    ArgsCase{{"--port"}, false}, ArgsCase{{"--oem", "x"}, false},
                    ArgsCase{{"--serial", "4294967295"}, true},
                    ArgsCase{{"--name", "0123456789abcdef"}, true},
                    ArgsCase{{"--name", "0123456789abcdefg"}, false}, ArgsCase{{"--no-answer", "1,5"}, true},
                    ArgsCase{{"--no-answer", "1"}, false}, ArgsCase{{"--close-after-pages", "0"}, false},
                    ArgsCase{{"--delay-ms", "-1"}, false}, ArgsCase{{"--refuse", "--hang-up"}, false},
                    ArgsCase{{"--bogus"}, false}, ArgsCase{{"--version"}, true},
                    ArgsCase{{"--fw-version", "2.9"}, true}, ArgsCase{{"--version=2.9"}, true},
                    ArgsCase{{"--fw-version=1.65536"}, false}, ArgsCase{{"--fw-version"}, false},
                    ArgsCase{{"--count", "3", "--faulty", "0,2"}, true}, ArgsCase{{"--count", "0"}, false},
                    ArgsCase{{"--count", "3", "--faulty", "3"}, false}, ArgsCase{{"--faulty", "1,x"}, false},
                    ArgsCase{{"--port", "--once"}, false}, ArgsCase{{"--once", "stray"}, false},
                    ArgsCase{{"--page-ms", "200", "--receive-buffer", "2048"}, true},
                    ArgsCase{{"--page-ms", "600001"}, false}, ArgsCase{{"--receive-buffer", "511"}, false}));

TEST(SimCommandLine, BareVersionAsksForTheProgramVersionAndWithAValueSetsTheDevices) {
    for (const auto& [args, program] : {std::pair<std::vector<std::string>, bool>{{"--version"}, true},
                                        {{"--version", "--once"}, true},
                                        {{"--version", "1.4"}, false},
                                        {{"--version=1.4"}, false}}) {
        const auto r = ParseSimOptions(args);
        ASSERT_TRUE(std::holds_alternative<SimOptions>(r));
        EXPECT_EQ(std::get<SimOptions>(r).Version, program) << args.size();
    }
}

TEST(SimCommandLine, FillsTheIdentity) {
    const auto r =
        ParseSimOptions({"--oem", "7", "--serial", "0x10", "--version", "2.9", "--mode", "5", "--name", "N",
                         "--no-answer", "9,8", "--reconnect-port", "0", "--error-on-page", "3"});
    ASSERT_TRUE(std::holds_alternative<SimOptions>(r));
    const auto& o = std::get<SimOptions>(r);
    EXPECT_EQ(o.Identity.Kennung, 7);
    EXPECT_EQ(o.Identity.Serial, 16);
    EXPECT_EQ(o.Identity.VersionHigh, 2);
    EXPECT_EQ(o.Identity.VersionLow, 9);
    EXPECT_EQ(o.Identity.Mode, 5);
    EXPECT_EQ(o.Identity.Name, "N");
    EXPECT_EQ(o.Identity.NoAnswer.count({9, 8}), 1u);
    EXPECT_EQ(o.ReconnectPort, 0);
    EXPECT_EQ(o.ModelFaults.ErrorOnPage, 3);
}

} // namespace
