// Straightforward Rijndael enciphering for the tests; slow on purpose, nothing precomputed but the S-box.
#include "rijndaelreference.h"

#include <algorithm>
#include <stdexcept>

namespace reference {

std::uint8_t Multiply(std::uint8_t a, std::uint8_t b) {
    unsigned product = 0;
    unsigned x = a;
    for (int bit = 0; bit < 8; ++bit) {
        if ((b >> bit) & 1)
            product ^= x;
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11b; // x^8 + x^4 + x^3 + x + 1
    }
    return static_cast<std::uint8_t>(product);
}

std::array<std::uint8_t, 256> Sbox() {
    std::array<std::uint8_t, 256> box{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned inverse = 0;
        for (unsigned c = 1; v != 0 && c < 256; ++c)
            if (Multiply(static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(c)) == 1)
                inverse = c;
        // b'_i = b_i ^ b_(i+4) ^ b_(i+5) ^ b_(i+6) ^ b_(i+7) ^ c_i with c = {63}, bit by bit.
        unsigned result = 0;
        for (int i = 0; i < 8; ++i) {
            unsigned bit = ((inverse >> i) ^ (inverse >> ((i + 4) % 8)) ^ (inverse >> ((i + 5) % 8)) ^
                            (inverse >> ((i + 6) % 8)) ^ (inverse >> ((i + 7) % 8)) ^ (0x63u >> i)) &
                           1;
            result |= bit << i;
        }
        box[v] = static_cast<std::uint8_t>(result);
    }
    return box;
}

std::vector<std::uint8_t> Encipher(const std::vector<std::uint8_t>& key,
                                   const std::vector<std::uint8_t>& block) {
    const int nk = static_cast<int>(key.size() / 4);
    const int nb = static_cast<int>(block.size() / 4);
    if ((nk != 4 && nk != 6 && nk != 8) || (nb != 4 && nb != 6 && nb != 8) || key.size() % 4 ||
        block.size() % 4)
        throw std::invalid_argument("reference: bad sizes");
    const int nr = std::max(nk, nb) + 6;
    static const std::array<std::uint8_t, 256> s = Sbox();

    // Key schedule as bytes: w[i] is 4 bytes.
    std::vector<std::array<std::uint8_t, 4>> w((nr + 1) * nb);
    for (int i = 0; i < nk; ++i)
        for (int j = 0; j < 4; ++j)
            w[i][j] = key[4 * i + j];
    std::uint8_t rcon = 1;
    for (int i = nk; i < static_cast<int>(w.size()); ++i) {
        std::array<std::uint8_t, 4> temp = w[i - 1];
        if (i % nk == 0) {
            temp = {static_cast<std::uint8_t>(s[temp[1]] ^ rcon), s[temp[2]], s[temp[3]], s[temp[0]]};
            rcon = Multiply(rcon, 2);
        } else if (nk > 6 && i % nk == 4) {
            for (auto& b : temp)
                b = s[b];
        }
        for (int j = 0; j < 4; ++j)
            w[i][j] = w[i - nk][j] ^ temp[j];
    }

    // state[row][column], filled column by column.
    std::vector<std::array<std::uint8_t, 4>> state(nb);
    auto at = [&](int row, int column) -> std::uint8_t& { return state[column][row]; };
    for (int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            at(r, c) = block[4 * c + r];
    auto addRoundKey = [&](int round) {
        for (int c = 0; c < nb; ++c)
            for (int r = 0; r < 4; ++r)
                at(r, c) ^= w[round * nb + c][r];
    };
    // Row r moves left by C_r columns: 1, 2, 3 for 4 and 6 columns; 1, 3, 4 for 8.
    const int shift[4] = {0, 1, nb == 8 ? 3 : 2, nb == 8 ? 4 : 3};

    addRoundKey(0);
    for (int round = 1; round <= nr; ++round) {
        for (auto& column : state)
            for (auto& b : column)
                b = s[b];
        auto before = state;
        for (int r = 1; r < 4; ++r)
            for (int c = 0; c < nb; ++c)
                at(r, c) = before[(c + shift[r]) % nb][r];
        if (round != nr) {
            for (auto& column : state) {
                auto a = column;
                for (int r = 0; r < 4; ++r)
                    column[r] =
                        Multiply(a[r], 2) ^ Multiply(a[(r + 1) % 4], 3) ^ a[(r + 2) % 4] ^ a[(r + 3) % 4];
            }
        }
        addRoundKey(round);
    }

    std::vector<std::uint8_t> out(block.size());
    for (int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            out[4 * c + r] = at(r, c);
    return out;
}

} // namespace reference
