// scan: finds the devices of an address range. Every address is connected to at once (at most
// kScanParallel at a time), identified as info does, and reported one line per device in address
// order; --write-list writes what was found as a device list for --devices-from.
#pragma once

#include <chrono>
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
// Connections under way at once (fewer when the open-file limit is lower).
constexpr int kScanParallel = 256;

// A.B.C.D/NN (every address of that block, NN from 16 to 32), A.B.C.D-E (D to E of the last
// number) or a single A.B.C.D. Nothing, with the reason in error, when the text is none of these.
std::optional<AddressRange> ParseAddressRange(const std::string& text, std::string& error);
std::string DottedAddress(uint32_t address);

struct ScanRequest {
    std::string Range;
    int Port = 2000;
    std::string WriteList; // where the device list goes; empty: none
    bool Json = false;
    std::chrono::milliseconds Timeout{
        5000}; // how long an address that took the connection may take to answer
};

// Runs the scan: 0 when a device answered, 4 when none did, 2 for a bad range, 130 when interrupted.
int ScanDevices(const ScanRequest& request);
