// The writer's AES-128 enciphering direction against OpenSSL (an independent implementation): the
// FIPS-197 example and random keys and blocks.
#include "tools/mkfwcfg/aes128.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>

namespace {

std::array<std::uint8_t, 16> OpenSslBlock(const std::uint8_t (&key)[16], const std::uint8_t* in) {
    std::array<std::uint8_t, 16> out{};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    int len = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key, nullptr), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_set_padding(ctx.get(), 0), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, in, 16), 1);
    EXPECT_EQ(len, 16);
    return out;
}

TEST(Aes128Encipher, MatchesOpenSslOnTheFipsExampleAndRandomKeysAndBlocks) {
    // FIPS-197 appendix C.1.
    std::uint8_t key[16];
    std::uint8_t block[16];
    for (int i = 0; i < 16; ++i) {
        key[i] = static_cast<std::uint8_t>(i);
        block[i] = static_cast<std::uint8_t>(i * 0x11);
    }
    Aes128Encipher(key).Block(block);
    const std::uint8_t expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                       0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    EXPECT_TRUE(std::equal(block, block + 16, expected));

    std::mt19937 random(2024);
    for (int n = 0; n < 500; ++n) {
        for (auto& b : key)
            b = static_cast<std::uint8_t>(random());
        for (auto& b : block)
            b = static_cast<std::uint8_t>(random());
        const auto reference = OpenSslBlock(key, block);
        Aes128Encipher(key).Block(block);
        ASSERT_TRUE(std::equal(block, block + 16, reference.begin())) << "case " << n;
    }
}

} // namespace
