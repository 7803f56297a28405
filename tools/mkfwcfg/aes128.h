// The enciphering direction of AES-128 for the demo firmware writer (the tool itself only deciphers,
// with CRijndael), byte by byte after FIPS-197 on the cipher's own tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class Aes128Encipher {
public:
    explicit Aes128Encipher(const std::uint8_t (&key)[16]);
    // Enciphers one 16-byte block in place.
    void Block(std::uint8_t* block) const;

private:
    std::array<std::uint8_t, 176> RoundKeys{}; // 11 round keys of 16 bytes
};
