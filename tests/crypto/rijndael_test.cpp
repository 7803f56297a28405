// Tests of CRijndael: published AES vectors, OpenSSL and an independent Rijndael encipher as oracles,
// the misuse errors and their order, and the handling of a trailing partial block.
#include "crypto/rijndael.h"
#include "rijndaelreference.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const char* Chars(const Bytes& b) {
    return reinterpret_cast<const char*>(b.data());
}
char* Chars(Bytes& b) {
    return reinterpret_cast<char*>(b.data());
}

Bytes RandomBytes(std::mt19937& random, std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

// Exposes the general block path, so that it can be compared with the four-column one.
class GeneralPathRijndael : public CRijndael {
public:
    using CRijndael::DecipherBlockGeneral;
};

Bytes OpenSslEncipherEcb(const Bytes& key, const Bytes& plain) {
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                               : key.size() == 24 ? EVP_aes_192_ecb()
                                                  : EVP_aes_256_ecb();
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(plain.size() + 16);
    int written = 0;
    int last = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &written, plain.data(), static_cast<int>(plain.size())) !=
            1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &last) != 1)
        throw std::runtime_error("OpenSSL failed");
    out.resize(static_cast<std::size_t>(written + last));
    return out;
}

// Runs f and returns the message of the std::runtime_error it raises ("" when it raises none).
template <typename F> std::string ErrorOf(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// --- Published AES vectors: FIPS-197 appendices B and C, SP 800-38A ECB, AESAVS
// GFSbox/KeySbox/VarTxt/VarKey.

struct KnownAnswer {
    const char* name;
    const char* key;
    const char* plain;
    const char* cipher;
};

void PrintTo(const KnownAnswer& v, std::ostream* os) {
    *os << v.name;
}

class RijndaelKnownAnswerTest : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(RijndaelKnownAnswerTest, DeciphersPublishedCiphertextToItsPlaintext) {
    const KnownAnswer& v = GetParam();
    const Bytes key = FromHex(v.key);
    const Bytes plain = FromHex(v.plain);
    const Bytes cipher = FromHex(v.cipher);
    GeneralPathRijndael rijndael;
    rijndael.SetKey(Chars(key), nullptr, static_cast<int>(key.size()), 16);

    Bytes out(16);
    rijndael.DecipherBlock(Chars(cipher), Chars(out));
    EXPECT_EQ(out, plain) << "four-column path";
    Bytes general(16);
    rijndael.DecipherBlockGeneral(Chars(cipher), Chars(general));
    EXPECT_EQ(general, plain) << "general path";
    Bytes buffer(16);
    EXPECT_EQ(rijndael.Decipher(Chars(cipher), Chars(buffer), 16), 16u);
    EXPECT_EQ(buffer, plain) << "Decipher";
    // The independent encipher must agree with the published vector too, or it is no oracle.
    EXPECT_EQ(reference::Encipher(key, plain), cipher) << "reference encipher";
}

#define Z16 "00000000000000000000000000000000"
INSTANTIATE_TEST_SUITE_P(
    Aes, RijndaelKnownAnswerTest,
    ::testing::Values(
        KnownAnswer{"Fips197C1", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
                    "69c4e0d86a7b0430d8cdb78070b4c55a"},
        KnownAnswer{"Fips197C2", "000102030405060708090a0b0c0d0e0f1011121314151617",
                    "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        KnownAnswer{"Fips197C3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
                    "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        KnownAnswer{"Fips197B", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
                    "3925841d02dc09fbdc118597196a0b32"},
        KnownAnswer{"Sp80038aEcb128", "2b7e151628aed2a6abf7158809cf4f3c", "6bc1bee22e409f96e93d7e117393172a",
                    "3ad77bb40d7a3660a89ecaf32466ef97"},
        KnownAnswer{"Sp80038aEcb192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
                    "6bc1bee22e409f96e93d7e117393172a", "bd334f1d6e45f25ff712a214571fa5cc"},
        KnownAnswer{"Sp80038aEcb256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
                    "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
        KnownAnswer{"GfSbox128a", Z16, "f34481ec3cc627bacd5dc3fb08f273e6",
                    "0336763e966d92595a567cc9ce537f5e"},
        KnownAnswer{"GfSbox128b", Z16, "9798c4640bad75c7c3227db910174e72",
                    "a9a1631bf4996954ebc093957b234589"},
        KnownAnswer{"GfSbox192", Z16 "0000000000000000", "1b077a6af4b7f98229de786d7516b639",
                    "275cfc0413d8ccb70513c3859b1d0f72"},
        KnownAnswer{"GfSbox256", Z16 Z16, "014730f80ac625fe84f026c60bfd547d",
                    "5c9d844ed46f9885085e5d6a4f94c7d7"},
        KnownAnswer{"KeySbox128", "10a58869d74be5a374cf867cfb473859", Z16,
                    "6d251e6944b051e04eaa6fb4dbf78465"},
        KnownAnswer{"KeySbox192", "e9f065d7c13573587f7875357dfbb16c53489f6a4bd0f7cd", Z16,
                    "0956259c9cd5cfd0181cca53380cde06"},
        KnownAnswer{"KeySbox256", "c47b0294dbbbee0fec4757f22ffeee3587ca4730c3d33b691df38bab076bc558", Z16,
                    "46f2fb342d6f0ab477476fc501242c5f"},
        KnownAnswer{"VarTxt128", Z16, "80000000000000000000000000000000", "3ad78e726c1ec02b7ebfe92b23d9ec34"},
        KnownAnswer{"VarTxt192", Z16 "0000000000000000", "80000000000000000000000000000000",
                    "6cd02513e8d4dc986b4afe087a60bd0c"},
        KnownAnswer{"VarTxt256", Z16 Z16, "80000000000000000000000000000000",
                    "ddc6bf790c15760d8d9aeb6f9a75fd4e"},
        KnownAnswer{"VarKey128", "80000000000000000000000000000000", Z16,
                    "0edd33d3c621e546455bd8ba1418bec8"}),
    [](const auto& info) { return std::string(info.param.name); });
#undef Z16

// --- OpenSSL AES-ECB (no padding) enciphers, CRijndael deciphers.

class RijndaelOpenSslTest : public ::testing::TestWithParam<int> {};

TEST_P(RijndaelOpenSslTest, DeciphersWhatOpenSslEnciphersForRandomKeysAndLengths) {
    const int keyLength = GetParam();
    std::mt19937 random(static_cast<unsigned>(keyLength));
    for (std::size_t blocks : {1, 2, 3, 7, 16, 64, 255, 1024, 4099}) {
        for (int trial = 0; trial < 4; ++trial) {
            const Bytes key = RandomBytes(random, static_cast<std::size_t>(keyLength));
            const Bytes plain = RandomBytes(random, blocks * 16);
            const Bytes cipher = OpenSslEncipherEcb(key, plain);
            CRijndael rijndael;
            rijndael.SetKey(Chars(key), nullptr, keyLength, 16);
            Bytes out(cipher.size());
            ASSERT_EQ(rijndael.Decipher(Chars(cipher), Chars(out), out.size()), out.size());
            ASSERT_EQ(out, plain) << blocks << " blocks, trial " << trial;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KeyLengths, RijndaelOpenSslTest, ::testing::Values(16, 24, 32));

// --- Every key length with every block size, against the independent encipher.

class RijndaelSizesTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(RijndaelSizesTest, DeciphersWhatTheReferenceEnciphers) {
    const auto [keyLength, blockSize] = GetParam();
    std::mt19937 random(static_cast<unsigned>(keyLength * 100 + blockSize));
    const std::size_t size = static_cast<std::size_t>(blockSize);
    for (int trial = 0; trial < 8; ++trial) {
        const Bytes key = RandomBytes(random, static_cast<std::size_t>(keyLength));
        const Bytes plain = RandomBytes(random, size * 5);
        Bytes cipher;
        for (std::size_t k = 0; k < plain.size(); k += size) {
            Bytes block = reference::Encipher(key, Bytes(plain.begin() + k, plain.begin() + k + size));
            cipher.insert(cipher.end(), block.begin(), block.end());
        }
        GeneralPathRijndael rijndael;
        rijndael.SetKey(Chars(key), nullptr, keyLength, blockSize);
        Bytes out(cipher.size());
        ASSERT_EQ(rijndael.Decipher(Chars(cipher), Chars(out), out.size()), out.size());
        EXPECT_EQ(out, plain) << "Decipher, trial " << trial;
        Bytes block(size);
        rijndael.DecipherBlock(Chars(cipher), Chars(block));
        EXPECT_EQ(block, Bytes(plain.begin(), plain.begin() + blockSize)) << "DecipherBlock";
        rijndael.DecipherBlockGeneral(Chars(cipher), Chars(block));
        EXPECT_EQ(block, Bytes(plain.begin(), plain.begin() + blockSize)) << "general path";
    }
}

INSTANTIATE_TEST_SUITE_P(KeyAndBlock, RijndaelSizesTest,
                         ::testing::Combine(::testing::Values(16, 24, 32), ::testing::Values(16, 24, 32)),
                         [](const auto& info) {
                             return "Key" + std::to_string(std::get<0>(info.param)) + "Block" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(RijndaelPathsTest, GeneralPathEqualsFourColumnPathFor16ByteBlocks) {
    std::mt19937 random(7);
    for (int keyLength : {16, 24, 32}) {
        for (int trial = 0; trial < 200; ++trial) {
            const Bytes key = RandomBytes(random, static_cast<std::size_t>(keyLength));
            const Bytes cipher = RandomBytes(random, 16);
            GeneralPathRijndael rijndael;
            rijndael.SetKey(Chars(key), nullptr, keyLength, 16);
            Bytes fast(16);
            Bytes general(16);
            rijndael.DecipherBlock(Chars(cipher), Chars(fast));
            rijndael.DecipherBlockGeneral(Chars(cipher), Chars(general));
            ASSERT_EQ(fast, general) << "key length " << keyLength;
        }
    }
}

// --- Misuse: the errors, their messages and their order.

struct SetKeyError {
    const char* name;
    bool keyGiven;
    int keyLength;
    int blockSize;
    const char* message;
};

void PrintTo(const SetKeyError& c, std::ostream* os) {
    *os << c.name;
}

class RijndaelSetKeyErrorTest : public ::testing::TestWithParam<SetKeyError> {};

TEST_P(RijndaelSetKeyErrorTest, RaisesTheFirstFailedCheckAndChangesNothing) {
    const SetKeyError& c = GetParam();
    const char key[33] = "0123456789abcdef0123456789abcdef";
    const Bytes cipher(32, 0x5a);

    CRijndael unkeyed;
    EXPECT_EQ(ErrorOf([&] { unkeyed.SetKey(c.keyGiven ? key : nullptr, nullptr, c.keyLength, c.blockSize); }),
              c.message);
    Bytes out(32);
    EXPECT_EQ(ErrorOf([&] { unkeyed.DecipherBlock(Chars(cipher), Chars(out)); }), "Object not Initialized");

    // A keyed object keeps its key and its block size.
    CRijndael keyed;
    keyed.SetKey("fedcba9876543210fedcba98", nullptr, 24, 32);
    Bytes before(32);
    keyed.Decipher(Chars(cipher), Chars(before), 32);
    EXPECT_EQ(ErrorOf([&] { keyed.SetKey(c.keyGiven ? key : nullptr, nullptr, c.keyLength, c.blockSize); }),
              c.message);
    Bytes after(32);
    EXPECT_EQ(keyed.Decipher(Chars(cipher), Chars(after), 32), 32u);
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, RijndaelSetKeyErrorTest,
    ::testing::Values(SetKeyError{"NoKey", false, 16, 16, "Empty key"},
                      SetKeyError{"NoKeyBeforeBadLengths", false, 20, 8, "Empty key"},
                      SetKeyError{"KeyLength20", true, 20, 16, "Incorrect key length"},
                      SetKeyError{"KeyLengthBeforeBlockSize", true, 20, 8, "Incorrect key length"},
                      SetKeyError{"KeyLength0", true, 0, 16, "Incorrect key length"},
                      SetKeyError{"KeyLengthNegative", true, -16, 16, "Incorrect key length"},
                      SetKeyError{"BlockSize8", true, 16, 8, "Incorrect block length"},
                      SetKeyError{"BlockSize64", true, 32, 64, "Incorrect block length"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RijndaelMisuseTest, UnkeyedObjectAndEmptyDataRaiseTheirErrors) {
    CRijndael rijndael;
    char in[16] = {};
    char out[16];
    EXPECT_EQ(ErrorOf([&] { rijndael.DecipherBlock(in, out); }), "Object not Initialized");
    EXPECT_EQ(ErrorOf([&] { rijndael.Decipher(in, out, 16); }), "Object not Initialized");
    EXPECT_EQ(ErrorOf([&] { rijndael.Decipher(in, out, 0); }), "Object not Initialized")
        << "keyed is checked first";
    rijndael.SetKey("0123456789abcdef", nullptr);
    EXPECT_EQ(ErrorOf([&] { rijndael.Decipher(in, out, 0); }), "Data not multiple of Block Size");
}

// --- Use as the configuration file needs it, and properties of ECB.

TEST(RijndaelKeyTest, LongerKeyStringIsReadOnlyUpToTheKeyLength) {
    std::mt19937 random(17);
    const Bytes cipher = RandomBytes(random, 256);
    // Exactly 16 bytes on the heap: a read past them would be caught by the address sanitizer.
    std::unique_ptr<char[]> shortKey(new char[16]);
    std::memcpy(shortKey.get(), "XKR-PHONOTEQU5209", 16);
    const char chain[16] = {};
    CRijndael fromLong;
    fromLong.SetKey("XKR-PHONOTEQU5209", chain, 16, 16);
    CRijndael fromShort;
    fromShort.SetKey(shortKey.get(), chain, 16, 16);
    Bytes a(256);
    Bytes b(256);
    fromLong.Decipher(Chars(cipher), Chars(a), 256);
    fromShort.Decipher(Chars(cipher), Chars(b), 256);
    EXPECT_EQ(a, b);
    // And it is AES-128 under those 16 bytes.
    const Bytes key(shortKey.get(), shortKey.get() + 16);
    EXPECT_EQ(OpenSslEncipherEcb(key, a), cipher);
}

TEST(RijndaelKeyTest, ChainBlockHasNoEffect) {
    std::mt19937 random(3);
    const Bytes key = RandomBytes(random, 32);
    const Bytes cipher = RandomBytes(random, 96 + 5);
    for (int blockSize : {16, 24, 32}) {
        Bytes expected;
        for (int variant = 0; variant < 3; ++variant) {
            const Bytes chain = variant == 0 ? Bytes(32, 0) : RandomBytes(random, 32);
            CRijndael rijndael;
            rijndael.SetKey(Chars(key), variant == 2 ? nullptr : Chars(chain), 32, blockSize);
            Bytes out(cipher.size());
            rijndael.Decipher(Chars(cipher), Chars(out), out.size());
            if (variant == 0)
                expected = out;
            EXPECT_EQ(out, expected) << "block size " << blockSize << ", chain " << variant;
        }
    }
}

TEST(RijndaelKeyTest, SetKeyAgainReplacesKeyAndBlockSize) {
    std::mt19937 random(5);
    const Bytes first = RandomBytes(random, 32);
    const Bytes second = RandomBytes(random, 16);
    const Bytes plain = RandomBytes(random, 16);
    CRijndael rijndael;
    rijndael.SetKey(Chars(first), nullptr, 32, 32);
    rijndael.SetKey(Chars(second), nullptr, 16, 16);
    const Bytes cipher = OpenSslEncipherEcb(second, plain);
    Bytes out(16);
    rijndael.DecipherBlock(Chars(cipher), Chars(out));
    EXPECT_EQ(out, plain);
}

TEST(RijndaelEcbTest, EqualCiphertextBlocksGiveEqualPlaintextBlocks) {
    CRijndael rijndael;
    rijndael.SetKey("XKR-PHONOTEQU5209", Chars(Bytes(16, 0)), 16, 16);
    Bytes cipher = FromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
    cipher.insert(cipher.end(), cipher.begin(), cipher.end());
    cipher.insert(cipher.end(), cipher.begin(), cipher.begin() + 16);
    ASSERT_EQ(cipher.size(), 48u);
    Bytes out(48);
    EXPECT_EQ(rijndael.Decipher(Chars(cipher), Chars(out), 48), 48u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), Bytes(out.begin() + 16, out.begin() + 32));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), Bytes(out.begin() + 32, out.end()));
}

TEST(RijndaelEcbTest, DeciphersInPlace) {
    std::mt19937 random(11);
    for (int blockSize : {16, 24, 32}) {
        const Bytes key = RandomBytes(random, 16);
        const Bytes cipher = RandomBytes(random, static_cast<std::size_t>(blockSize) * 4 + 3);
        CRijndael rijndael;
        rijndael.SetKey(Chars(key), nullptr, 16, blockSize);
        Bytes expected(cipher.size());
        rijndael.Decipher(Chars(cipher), Chars(expected), cipher.size());
        Bytes buffer = cipher;
        rijndael.Decipher(Chars(buffer), Chars(buffer), buffer.size());
        EXPECT_EQ(buffer, expected) << "block size " << blockSize;
    }
}

// --- A trailing partial block: deciphered as if completed with zeros, and no byte past the input is read.

class RijndaelPartialBlockTest : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};

TEST_P(RijndaelPartialBlockTest, TrailingPartDecipheredWithZerosWithoutReadingPastTheInput) {
    const auto [blockSize, n] = GetParam();
    const std::size_t size = static_cast<std::size_t>(blockSize);
    std::mt19937 random(static_cast<unsigned>(n));
    const Bytes key = RandomBytes(random, 16);
    const Bytes data = RandomBytes(random, n);
    // Input and output of exactly n bytes on the heap: the address sanitizer reports any access past them.
    std::unique_ptr<char[]> in(new char[n]);
    std::unique_ptr<char[]> out(new char[n]);
    std::memcpy(in.get(), data.data(), n);
    CRijndael rijndael;
    rijndael.SetKey(Chars(key), nullptr, 16, blockSize);
    ASSERT_EQ(rijndael.Decipher(in.get(), out.get(), n), n);

    const std::size_t whole = n / size * size;
    Bytes block(size);
    for (std::size_t k = 0; k < whole; k += size) {
        rijndael.DecipherBlock(Chars(data) + k, Chars(block));
        ASSERT_EQ(std::memcmp(out.get() + k, block.data(), size), 0) << "block at " << k;
    }
    Bytes padded(size, 0);
    std::memcpy(padded.data(), data.data() + whole, n - whole);
    rijndael.DecipherBlock(Chars(padded), Chars(block));
    EXPECT_EQ(std::memcmp(out.get() + whole, block.data(), n - whole), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RijndaelPartialBlockTest,
                         ::testing::Combine(::testing::Values(16, 24, 32),
                                            ::testing::Values<std::size_t>(1, 5, 15, 17, 31, 33, 47, 100)));

} // namespace
