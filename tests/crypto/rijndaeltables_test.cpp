// Checks the cipher's compile-time tables against values computed independently from their definitions.
#include "crypto/rijndaeltables.h"
#include "rijndaelreference.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

using namespace rijndael;

// Known entries (FIPS-197 figures 7 and 14), checked while compiling.
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed && kSbox[0xff] == 0x16);
static_assert(kInvSbox[0x00] == 0x52 && kInvSbox[0xed] == 0x53 && kInvSbox[0xff] == 0x7d);

TEST(RijndaelTablesTest, SboxMatchesItsDefinitionAndInverseSboxUndoesIt) {
    const auto expected = reference::Sbox();
    for (int x = 0; x < 256; ++x) {
        EXPECT_EQ(kSbox[x], expected[x]) << "x=" << x;
        EXPECT_EQ(kInvSbox[kSbox[x]], x) << "x=" << x;
    }
}

TEST(RijndaelTablesTest, RoundConstantsArePowersOfTwoInTheField) {
    const std::uint8_t expected[30] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36,
                                       0x6c, 0xd8, 0xab, 0x4d, 0x9a, 0x2f, 0x5e, 0xbc, 0x63, 0xc6,
                                       0x97, 0x35, 0x6a, 0xd4, 0xb3, 0x7d, 0xfa, 0xef, 0xc5, 0x91};
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(kRoundConstants[i], expected[i]) << "i=" << i;
}

std::uint32_t Column(std::uint8_t s) {
    using reference::Multiply;
    return std::uint32_t{Multiply(s, 0x0e)} << 24 | std::uint32_t{Multiply(s, 0x09)} << 16 |
           std::uint32_t{Multiply(s, 0x0d)} << 8 | Multiply(s, 0x0b);
}

TEST(RijndaelTablesTest, InverseRoundAndRoundKeyTablesHoldInvMixColumnsWords) {
    for (int x = 0; x < 256; ++x) {
        const std::uint32_t round = Column(kInvSbox[x]);
        EXPECT_EQ(kR1[x], round) << "x=" << x;
        EXPECT_EQ(kR2[x], std::rotr(round, 8)) << "x=" << x;
        EXPECT_EQ(kR3[x], std::rotr(round, 16)) << "x=" << x;
        EXPECT_EQ(kR4[x], std::rotr(round, 24)) << "x=" << x;
        const std::uint32_t key = Column(static_cast<std::uint8_t>(x));
        EXPECT_EQ(kK1[x], key) << "x=" << x;
        EXPECT_EQ(kK2[x], std::rotr(key, 8)) << "x=" << x;
        EXPECT_EQ(kK3[x], std::rotr(key, 16)) << "x=" << x;
        EXPECT_EQ(kK4[x], std::rotr(key, 24)) << "x=" << x;
    }
}

} // namespace
