// Constant tables of the Rijndael cipher (S-box, inverse S-box, round constants, inverse-round and
// InvMixColumns tables), computed at compile time from the field GF(2^8).
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace rijndael {

// Multiplication by {02} in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t Xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr std::uint8_t Multiply(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b >>= 1, a = Xtime(a))
        if ((b & 1) != 0)
            product ^= a;
    return product;
}

constexpr std::array<std::uint8_t, 256> MakeSbox() {
    // Inverses from the powers of the generator {03}; then the affine transformation.
    std::array<std::uint8_t, 256> power{}, log{};
    std::uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = x;
        log[x] = static_cast<std::uint8_t>(i);
        x = Multiply(x, 3);
    }
    std::array<std::uint8_t, 256> sbox{};
    for (int v = 0; v < 256; ++v) {
        std::uint8_t inverse = v == 0 ? 0 : power[(255 - log[v]) % 255];
        sbox[v] = static_cast<std::uint8_t>(inverse ^ std::rotl(inverse, 1) ^ std::rotl(inverse, 2) ^
                                            std::rotl(inverse, 3) ^ std::rotl(inverse, 4) ^ 0x63);
    }
    return sbox;
}

constexpr std::array<std::uint8_t, 256> MakeInverse(const std::array<std::uint8_t, 256>& box) {
    std::array<std::uint8_t, 256> inverse{};
    for (int v = 0; v < 256; ++v)
        inverse[box[v]] = static_cast<std::uint8_t>(v);
    return inverse;
}

// Successive powers of {02}, starting with {01}; the key expansion uses at most 29.
constexpr std::array<std::uint8_t, 30> MakeRoundConstants() {
    std::array<std::uint8_t, 30> rcon{};
    std::uint8_t x = 1;
    for (auto& c : rcon) {
        c = x;
        x = Xtime(x);
    }
    return rcon;
}

// The word {0e}·s, {09}·s, {0d}·s, {0b}·s (most significant first) of s = box[x], rotated right by
// 8·rotation.
constexpr std::array<std::uint32_t, 256> MakeInvMixTable(const std::array<std::uint8_t, 256>& box,
                                                         int rotation) {
    std::array<std::uint32_t, 256> table{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = box[x];
        std::uint32_t word = std::uint32_t{Multiply(s, 0x0e)} << 24 | std::uint32_t{Multiply(s, 0x09)} << 16 |
                             std::uint32_t{Multiply(s, 0x0d)} << 8 | std::uint32_t{Multiply(s, 0x0b)};
        table[x] = std::rotr(word, 8 * rotation);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> MakeIdentity() {
    std::array<std::uint8_t, 256> identity{};
    for (int x = 0; x < 256; ++x)
        identity[x] = static_cast<std::uint8_t>(x);
    return identity;
}

inline constexpr std::array<std::uint8_t, 256> kSbox = MakeSbox();
inline constexpr std::array<std::uint8_t, 256> kInvSbox = MakeInverse(kSbox);
inline constexpr std::array<std::uint8_t, 30> kRoundConstants = MakeRoundConstants();

// Inverse round: InvMixColumns of the inverse S-box value, one table per row (R1 to R4).
alignas(64) inline constexpr std::array<std::uint32_t, 256> kR1 = MakeInvMixTable(kInvSbox, 0);
alignas(64) inline constexpr std::array<std::uint32_t, 256> kR2 = MakeInvMixTable(kInvSbox, 1);
alignas(64) inline constexpr std::array<std::uint32_t, 256> kR3 = MakeInvMixTable(kInvSbox, 2);
alignas(64) inline constexpr std::array<std::uint32_t, 256> kR4 = MakeInvMixTable(kInvSbox, 3);

// InvMixColumns of a round-key word, one table per byte (K1 to K4).
inline constexpr std::array<std::uint32_t, 256> kK1 = MakeInvMixTable(MakeIdentity(), 0);
inline constexpr std::array<std::uint32_t, 256> kK2 = MakeInvMixTable(MakeIdentity(), 1);
inline constexpr std::array<std::uint32_t, 256> kK3 = MakeInvMixTable(MakeIdentity(), 2);
inline constexpr std::array<std::uint32_t, 256> kK4 = MakeInvMixTable(MakeIdentity(), 3);

} // namespace rijndael
