// Ranges of IPv4 addresses as a scan takes them: A.B.C.D/NN, A.B.C.D-E or one address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A range of IPv4 addresses, as numbers (the first number of the dotted address highest).
struct AddressRange {
    uint32_t First = 0;
    uint32_t Count = 0;
};

// A scan covers at most a /16.
constexpr uint32_t kMaxScanAddresses = 65536;

// A.B.C.D/NN (every address of that block, NN from 16 to 32), A.B.C.D-E (D to E of the last number) or a
// single A.B.C.D. Nothing, with the reason in error ("TEXT: ..."), when the text is none of these.
std::optional<AddressRange> ParseAddressRange(const std::string& text, std::string& error);
std::string DottedAddress(uint32_t address);
