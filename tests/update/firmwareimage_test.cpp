// Checks the image functions: checksum, firmware name, bit reversal, date value, page addressing.
#include "update/firmwareimage.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ImageChecksum, AbcGivesWorkedExample) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(ImageChecksum(abc, 3), 1378);
    EXPECT_EQ(ImageChecksum(abc, 0), 0);
}

struct ByteContribution {
    uint8_t byte;
    int32_t contribution;
};
class ImageChecksumByte : public ::testing::TestWithParam<ByteContribution> {};

TEST_P(ImageChecksumByte, SingleByteContributesSignedShift) {
    const auto [byte, contribution] = GetParam();
    EXPECT_EQ(ImageChecksum(&byte, 1), contribution);
    // Contributions add up with wrap-around.
    const uint8_t two[] = {byte, byte};
    EXPECT_EQ(ImageChecksum(two, 2), static_cast<int32_t>(2u * static_cast<uint32_t>(contribution)));
}

INSTANTIATE_TEST_SUITE_P(Bytes, ImageChecksumByte,
                         ::testing::Values(ByteContribution{0x80, -128}, ByteContribution{0x81, 1 << 25},
                                           ByteContribution{0xFF, INT32_MIN}, ByteContribution{0x08, 8},
                                           ByteContribution{0x07, 7 << 7}, ByteContribution{0x00, 0},
                                           ByteContribution{0xF8, -8}, ByteContribution{0xFD, -1610612736}));

struct NameCase {
    const char* path;
    const char* name;
};
class FirmwareNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FirmwareNameTest, TakesFileNameCutAtFirstDot) {
    EXPECT_EQ(FirmwareName(GetParam().path), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Paths, FirmwareNameTest,
                         ::testing::Values(NameCase{"C:\\fw\\DSPMAIN.V14.bin", "DSPMAIN"},
                                           NameCase{"/tmp/release.1/DSPMAIN.bin", "DSPMAIN"},
                                           NameCase{"C:\\release.1\\DSPMAIN.bin", "DSPMAIN"},
                                           NameCase{"DSPMAIN", "DSPMAIN"}, NameCase{"dir/noext", "noext"},
                                           NameCase{"dir/.hidden.bin", ".hidden"}, NameCase{"dir/.x", ".x"},
                                           NameCase{"dir/", ""}, NameCase{"", ""}));

TEST(FirmwareNameBlock, ShortNameIsZeroFilled) {
    const auto block = FirmwareNameBlock("ABC");
    uint8_t bytes[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            bytes[4 * w + b] = static_cast<uint8_t>(static_cast<uint32_t>(block[w]) >> (8 * b));
    const uint8_t want[16] = {'A', 'B', 'C'};
    EXPECT_EQ(std::memcmp(bytes, want, 16), 0);
}

TEST(FirmwareNameBlock, LongNameIsCutAtSixteen) {
    const auto block = FirmwareNameBlock("ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(static_cast<uint32_t>(block[0]), 0x44434241u);
    EXPECT_EQ(static_cast<uint32_t>(block[3]), 0x504F4E4Du);
}

TEST(ConvertImage, ReversesBitsOfEachLittleEndianWord) {
    const uint8_t in[] = {0x12, 0x34, 0x56, 0x78, 0x01, 0x00, 0x00, 0x00};
    const std::vector<uint8_t> want = {0x1E, 0x6A, 0x2C, 0x48, 0x00, 0x00, 0x00, 0x80};
    EXPECT_EQ(ConvertImage(in, sizeof in), want);
}

TEST(ConvertImage, TrailingBytesGoOutUnconverted) {
    const uint8_t in[] = {0x12, 0x34, 0x56, 0x78, 0x01, 0x02, 0x03};
    const std::vector<uint8_t> want = {0x1E, 0x6A, 0x2C, 0x48, 0x01, 0x02, 0x03};
    EXPECT_EQ(ConvertImage(in, sizeof in), want);
}

TEST(ReverseBits, IsAnInvolutionMatchingBitLoop) {
    for (int v = 0; v < 256; ++v) {
        uint8_t slow = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (v & (1 << bit))
                slow |= static_cast<uint8_t>(0x80 >> bit);
        EXPECT_EQ(ReverseBits(static_cast<uint8_t>(v)), slow) << v;
    }
}

TEST(DateValue, SixthOfDecemberPacksYearMonthDay) {
    const uint32_t v = DateValue(2031, 12, 6);
    EXPECT_EQ(v, 2031u + 12u * 65536u + 6u * 16777216u);
    EXPECT_EQ(v & 0xFF, 2031u & 0xFF);
    EXPECT_EQ(v >> 8 & 0xFF, 2031u >> 8);
    EXPECT_EQ(v >> 16 & 0xFF, 12u);
    EXPECT_EQ(v >> 24, 6u);
}

TEST(DateValue, NowHasPlausibleFields) {
    const uint32_t v = DateValueNowUtc();
    EXPECT_GE(v & 0xFFFF, 2024u);
    EXPECT_GE(v >> 16 & 0xFF, 1u);
    EXPECT_LE(v >> 16 & 0xFF, 12u);
    EXPECT_GE(v >> 24, 1u);
    EXPECT_LE(v >> 24, 31u);
}

struct PageCase {
    int64_t page;
    int obj;
    int par;
};
class PageAddressTest : public ::testing::TestWithParam<PageCase> {};

TEST_P(PageAddressTest, MapsPageOntoObjectAndParameter) {
    const auto a = PageAddressOf(GetParam().page);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->Obj, GetParam().obj);
    EXPECT_EQ(a->Par, GetParam().par);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, PageAddressTest,
                         ::testing::Values(PageCase{0, 2, 10}, PageCase{245, 2, 255}, PageCase{246, 3, 0},
                                           PageCase{501, 3, 255}, PageCase{502, 4, 0},
                                           PageCase{502 + 65535, 4, 65535}));

TEST(PageAddress, NothingBeyondTheLimit) {
    EXPECT_FALSE(PageAddressOf(kMaxPages).has_value());
    EXPECT_FALSE(PageAddressOf(-1).has_value());
    EXPECT_EQ(PageCount(kMaxImageBytes), kMaxPages);
    EXPECT_EQ(PageCount(kMaxImageBytes + 1), kMaxPages + 1);
    EXPECT_EQ(PageCount(256), 1);
    EXPECT_EQ(PageCount(257), 2);
    EXPECT_EQ(PageCount(0), 0);
}

} // namespace
