// SHA-256 (FIPS 180-4): 64-byte blocks, big-endian words, the length in bits in the last block's last
// eight bytes.
#include "crypto/sha256.h"

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t RotateRight(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void Compress(uint32_t h[8], const uint8_t* block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t)
        w[t] = uint32_t{block[4 * t]} << 24 | uint32_t{block[4 * t + 1]} << 16 |
               uint32_t{block[4 * t + 2]} << 8 | uint32_t{block[4 * t + 3]};
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = k + s1 + choose + kRoundConstants[t] + w[t];
        const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = s0 + majority;
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

} // namespace

void Sha256Add(Sha256State& state, const uint8_t* data, size_t n) {
    size_t used = static_cast<size_t>(state.Bytes % 64);
    state.Bytes += n;
    if (used > 0) {
        const size_t take = n < 64 - used ? n : 64 - used;
        for (size_t i = 0; i < take; ++i)
            state.Block[used + i] = data[i];
        data += take;
        n -= take;
        used += take;
        if (used < 64)
            return;
        Compress(state.H, state.Block);
    }
    for (; n >= 64; data += 64, n -= 64)
        Compress(state.H, data);
    for (size_t i = 0; i < n; ++i)
        state.Block[i] = data[i];
}

Sha256Digest Sha256End(Sha256State& state) {
    const uint64_t bits = state.Bytes * 8;
    // 0x80, then zeros up to 56 bytes into a block, then the length: one or two more blocks.
    uint8_t pad[72] = {0x80};
    const size_t used = static_cast<size_t>(state.Bytes % 64);
    const size_t zeros = used < 56 ? 56 - used : 120 - used;
    for (int i = 0; i < 8; ++i)
        pad[zeros + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Sha256Add(state, pad, zeros + 8);
    Sha256Digest digest;
    for (size_t i = 0; i < 8; ++i)
        for (size_t b = 0; b < 4; ++b)
            digest[4 * i + b] = static_cast<uint8_t>(state.H[i] >> (24 - 8 * b));
    return digest;
}

Sha256Digest Sha256(const uint8_t* data, size_t n) {
    Sha256State state;
    Sha256Add(state, data, n);
    return Sha256End(state);
}

std::string Sha256Hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}
