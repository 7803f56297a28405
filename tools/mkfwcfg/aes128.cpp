// AES-128 enciphering: key expansion, SubBytes, ShiftRows, MixColumns, AddRoundKey.
#include "tools/mkfwcfg/aes128.h"

#include "crypto/rijndaeltables.h"

#include <cstring>

using rijndael::kRoundConstants;
using rijndael::kSbox;
using rijndael::Xtime;

Aes128Encipher::Aes128Encipher(const std::uint8_t (&key)[16]) {
    std::memcpy(RoundKeys.data(), key, 16);
    for (std::size_t i = 16, round = 0; i < RoundKeys.size(); i += 4) {
        std::uint8_t t[4] = {RoundKeys[i - 4], RoundKeys[i - 3], RoundKeys[i - 2], RoundKeys[i - 1]};
        if (i % 16 == 0) {
            // RotWord, SubWord and the round constant on the first word of each round key.
            const std::uint8_t first = t[0];
            t[0] = static_cast<std::uint8_t>(kSbox[t[1]] ^ kRoundConstants[round++]);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
        }
        for (std::size_t k = 0; k < 4; ++k)
            RoundKeys[i + k] = static_cast<std::uint8_t>(RoundKeys[i + k - 16] ^ t[k]);
    }
}

void Aes128Encipher::Block(std::uint8_t* s) const {
    for (std::size_t k = 0; k < 16; ++k)
        s[k] ^= RoundKeys[k];
    for (std::size_t round = 1; round <= 10; ++round) {
        // SubBytes and ShiftRows together: byte (row r, column c) comes from column c + r.
        std::uint8_t t[16];
        for (std::size_t c = 0; c < 4; ++c)
            for (std::size_t r = 0; r < 4; ++r)
                t[4 * c + r] = kSbox[s[4 * ((c + r) % 4) + r]];
        if (round < 10) {
            for (std::size_t c = 0; c < 4; ++c) {
                std::uint8_t* col = t + 4 * c;
                const std::uint8_t all = static_cast<std::uint8_t>(col[0] ^ col[1] ^ col[2] ^ col[3]);
                const std::uint8_t first = col[0];
                col[0] ^= static_cast<std::uint8_t>(all ^ Xtime(static_cast<std::uint8_t>(col[0] ^ col[1])));
                col[1] ^= static_cast<std::uint8_t>(all ^ Xtime(static_cast<std::uint8_t>(col[1] ^ col[2])));
                col[2] ^= static_cast<std::uint8_t>(all ^ Xtime(static_cast<std::uint8_t>(col[2] ^ col[3])));
                col[3] ^= static_cast<std::uint8_t>(all ^ Xtime(static_cast<std::uint8_t>(col[3] ^ first)));
            }
        }
        for (std::size_t k = 0; k < 16; ++k)
            s[k] = static_cast<std::uint8_t>(t[k] ^ RoundKeys[16 * round + k]);
    }
}
