// SHA-256 (FIPS 180-4) over bytes: the fingerprint of a configuration file and its image, by which a run
// report tells whether a device got the very same firmware as before.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

// A hash being computed over bytes given in pieces: Sha256Add as often as needed, then Sha256End once.
struct Sha256State {
    uint32_t H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint64_t Bytes = 0;      // added so far
    uint8_t Block[64] = {};  // the part of a block not yet compressed
};

void Sha256Add(Sha256State& state, const uint8_t* data, size_t n);
Sha256Digest Sha256End(Sha256State& state);

// The hash of n bytes in one call.
Sha256Digest Sha256(const uint8_t* data, size_t n);

// The digest as 64 lowercase hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(const Sha256Digest& digest);
