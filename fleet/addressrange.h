// Ranges of IPv4 addresses as a scan takes them: A.B.C.D/NN, A.B.C.D-E or one address; and a list of
// devices written with such ranges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Devices' HOST:PORT labels as one short text, in address order: consecutive dotted addresses of one port
// as A.B.C.D-E:PORT (within the last number), consecutive ports of one address as A.B.C.D:P-Q, the others
// as given, separated by ", ". Names follow the dotted addresses in their order.
std::string AddressListText(const std::vector<std::string>& labels);
