// Tests of the SHA-256 functions: published vectors, and OpenSSL as the oracle for every length around
// the block and padding boundaries, the bytes given whole or in pieces.
#include "crypto/sha256.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string OpenSslSha256Hex(const Bytes& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "OpenSSL failed";
    Sha256Digest d{};
    for (unsigned int i = 0; i < length && i < d.size(); ++i)
        d[i] = digest[i];
    return Sha256Hex(d);
}

TEST(Sha256, HashesThePublishedVectors) {
    const std::string million(1000000, 'a');
    const std::pair<std::string, const char*> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, hex] : vectors)
        EXPECT_EQ(Sha256Hex(Sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size())), hex)
            << text.size() << " bytes";
}

class Sha256OpenSslTest : public ::testing::TestWithParam<size_t> {};

TEST_P(Sha256OpenSslTest, AgreesWithOpenSslWholeAndInPieces) {
    const size_t length = GetParam();
    std::mt19937 random(static_cast<unsigned>(length));
    Bytes bytes(length);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    const std::string expected = OpenSslSha256Hex(bytes);
    EXPECT_EQ(Sha256Hex(Sha256(bytes.data(), bytes.size())), expected) << "whole";
    // Pieces of 1, 3, 63, 64 and 65 bytes, and one of a random size after another.
    for (size_t piece : {size_t{1}, size_t{3}, size_t{63}, size_t{64}, size_t{65}, size_t{0}}) {
        Sha256State state;
        for (size_t at = 0; at < length;) {
            const size_t n = std::min(length - at, piece != 0 ? piece : random() % 200);
            Sha256Add(state, bytes.data() + at, n);
            at += n;
        }
        EXPECT_EQ(Sha256Hex(Sha256End(state)), expected) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Sha256OpenSslTest,
                         ::testing::Values(0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 65536 + 17));

} // namespace
