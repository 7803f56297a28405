// CRijndael: key expansion into the round keys of the equivalent inverse cipher, and table-driven deciphering
// with a four-column path for 16-byte blocks and a general path for 24- and 32-byte blocks.
#include "crypto/rijndael.h"

#include "crypto/rijndaeltables.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

using namespace rijndael;

namespace {

// Words are read and written with the first byte most significant (the column order of the state).
inline std::uint32_t LoadWord(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
           std::uint32_t{b[3]};
}

inline void StoreWord(char* p, std::uint32_t w) {
    auto* b = reinterpret_cast<unsigned char*>(p);
    b[0] = static_cast<unsigned char>(w >> 24);
    b[1] = static_cast<unsigned char>(w >> 16);
    b[2] = static_cast<unsigned char>(w >> 8);
    b[3] = static_cast<unsigned char>(w);
}

inline std::uint32_t SubWord(std::uint32_t w) {
    return std::uint32_t{kSbox[w >> 24]} << 24 | std::uint32_t{kSbox[(w >> 16) & 0xff]} << 16 |
           std::uint32_t{kSbox[(w >> 8) & 0xff]} << 8 | std::uint32_t{kSbox[w & 0xff]};
}

inline std::uint32_t InvMixColumn(std::uint32_t w) {
    return kK1[w >> 24] ^ kK2[(w >> 16) & 0xff] ^ kK3[(w >> 8) & 0xff] ^ kK4[w & 0xff];
}

inline std::uint32_t InnerColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return kR1[a >> 24] ^ kR2[(b >> 16) & 0xff] ^ kR3[(c >> 8) & 0xff] ^ kR4[d & 0xff];
}

inline std::uint32_t LastColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return std::uint32_t{kInvSbox[a >> 24]} << 24 | std::uint32_t{kInvSbox[(b >> 16) & 0xff]} << 16 |
           std::uint32_t{kInvSbox[(c >> 8) & 0xff]} << 8 | std::uint32_t{kInvSbox[d & 0xff]};
}

// Four columns, the state in locals; the row offsets 3, 2, 1 of the inverse ShiftRows are fixed.
inline void DecipherFourColumns(const std::uint32_t* rk, int rounds, const char* in, char* out) {
    std::uint32_t a0 = LoadWord(in) ^ rk[0];
    std::uint32_t a1 = LoadWord(in + 4) ^ rk[1];
    std::uint32_t a2 = LoadWord(in + 8) ^ rk[2];
    std::uint32_t a3 = LoadWord(in + 12) ^ rk[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        std::uint32_t t0 = InnerColumn(a0, a3, a2, a1) ^ rk[0];
        std::uint32_t t1 = InnerColumn(a1, a0, a3, a2) ^ rk[1];
        std::uint32_t t2 = InnerColumn(a2, a1, a0, a3) ^ rk[2];
        std::uint32_t t3 = InnerColumn(a3, a2, a1, a0) ^ rk[3];
        a0 = t0;
        a1 = t1;
        a2 = t2;
        a3 = t3;
    }
    rk += 4;
    StoreWord(out, LastColumn(a0, a3, a2, a1) ^ rk[0]);
    StoreWord(out + 4, LastColumn(a1, a0, a3, a2) ^ rk[1]);
    StoreWord(out + 8, LastColumn(a2, a1, a0, a3) ^ rk[2]);
    StoreWord(out + 12, LastColumn(a3, a2, a1, a0) ^ rk[3]);
}

[[noreturn]] void Fail(const char* message) {
    throw std::runtime_error(message);
}

} // namespace

void CRijndael::SetKey(const char* key, const char* chain, int keyLength, int blockSize) {
    if (key == nullptr)
        Fail("Empty key");
    if (keyLength != 16 && keyLength != 24 && keyLength != 32)
        Fail("Incorrect key length");
    if (blockSize != 16 && blockSize != 24 && blockSize != 32)
        Fail("Incorrect block length");

    const int nk = keyLength / 4;
    const int nb = blockSize / 4;
    const int nr = std::max(nk, nb) + 6;
    const int words = (nr + 1) * nb;

    // Forward key expansion (FIPS-197 KeyExpansion; larger blocks only need more words).
    std::uint32_t w[15 * 8] = {}; // zeroed: the optimiser cannot see that nk <= words
    for (int i = 0; i < nk; ++i)
        w[i] = LoadWord(key + 4 * i);
    int nextConstant = 0;
    for (int i = nk; i < words; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0)
            temp = SubWord(temp << 8 | temp >> 24) ^ std::uint32_t{kRoundConstants[nextConstant++]} << 24;
        else if (nk == 8 && i % nk == 4)
            temp = SubWord(temp);
        w[i] = w[i - nk] ^ temp;
    }

    // Deciphering applies the forward round keys in reverse order; the inner ones pass through InvMixColumns
    // so that the inverse rounds can use the same table layout as the forward ones.
    for (int r = 0; r <= nr; ++r) {
        const std::uint32_t* forward = w + (nr - r) * nb;
        for (int i = 0; i < nb; ++i)
            decryptKeys[r * nb + i] = (r == 0 || r == nr) ? forward[i] : InvMixColumn(forward[i]);
    }

    this->keyLength = keyLength;
    this->blockSize = blockSize;
    rounds = nr;
    std::memset(initialChain, 0, sizeof initialChain);
    if (chain != nullptr)
        std::memcpy(initialChain, chain, static_cast<std::size_t>(blockSize));
    std::memcpy(currentChain, initialChain, sizeof currentChain);
    keyed = true;
}

void CRijndael::CheckKeyed() const {
    if (!keyed)
        Fail("Object not Initialized");
}

void CRijndael::DecipherBlock(const char* in, char* out) const {
    CheckKeyed();
    if (blockSize == 16)
        DecipherFourColumns(decryptKeys, rounds, in, out);
    else
        DecipherBlockGeneral(in, out);
}

void CRijndael::DecipherBlockGeneral(const char* in, char* out) const {
    CheckKeyed();
    const int nb = blockSize / 4;
    // Inverse ShiftRows: row j of column i comes from column i + Dj.
    const int d1 = nb - 1;
    const int d2 = nb == 8 ? 5 : nb - 2;
    const int d3 = nb == 8 ? 4 : nb - 3;
    std::uint32_t a[8];
    std::uint32_t t[8];
    const std::uint32_t* rk = decryptKeys;
    for (int i = 0; i < nb; ++i)
        a[i] = LoadWord(in + 4 * i) ^ rk[i];
    for (int r = 1; r < rounds; ++r) {
        rk += nb;
        for (int i = 0; i < nb; ++i)
            t[i] = InnerColumn(a[i], a[(i + d1) % nb], a[(i + d2) % nb], a[(i + d3) % nb]) ^ rk[i];
        std::memcpy(a, t, sizeof(std::uint32_t) * static_cast<std::size_t>(nb));
    }
    rk += nb;
    for (int i = 0; i < nb; ++i)
        t[i] = LastColumn(a[i], a[(i + d1) % nb], a[(i + d2) % nb], a[(i + d3) % nb]) ^ rk[i];
    for (int i = 0; i < nb; ++i)
        StoreWord(out + 4 * i, t[i]);
}

std::size_t CRijndael::Decipher(const char* in, char* out, std::size_t n) const {
    CheckKeyed();
    if (n == 0)
        Fail("Data not multiple of Block Size");
    const std::size_t size = static_cast<std::size_t>(blockSize);
    const std::size_t whole = n / size * size;
    if (size == 16) {
        for (std::size_t k = 0; k < whole; k += 16)
            DecipherFourColumns(decryptKeys, rounds, in + k, out + k);
    } else {
        for (std::size_t k = 0; k < whole; k += size)
            DecipherBlockGeneral(in + k, out + k);
    }
    if (const std::size_t rest = n - whole; rest != 0) {
        // The input ends inside this block: zero bytes stand in for the missing ones, never bytes past its
        // end.
        char block[32] = {};
        std::memcpy(block, in + whole, rest);
        DecipherBlock(block, block);
        std::memcpy(out + whole, block, rest);
    }
    return n;
}
