// A plain Rijndael encipher written straight from the cipher's definition (byte state, SubBytes, ShiftRows,
// MixColumns, AddRoundKey), independent of the product's tables: the oracle for 24- and 32-byte blocks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace reference {

// S-box from its definition: multiplicative inverse found by search, then the affine transformation.
std::array<std::uint8_t, 256> Sbox();

// Multiplication in GF(2^8) by shift-and-add with reduction at every step.
std::uint8_t Multiply(std::uint8_t a, std::uint8_t b);

// Enciphers one block of block.size() bytes (16, 24 or 32) under key (16, 24 or 32 bytes).
std::vector<std::uint8_t> Encipher(const std::vector<std::uint8_t>& key,
                                   const std::vector<std::uint8_t>& block);

} // namespace reference
