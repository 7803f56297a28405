// Pure functions over a firmware image: its checksum, the short firmware name told to the
// device, the bit-reversed form the device receives, the date value and the page addressing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Bytes per flash page; only the last page of an image may be shorter.
constexpr size_t kPageSize = 256;
// The page parameter is 16 bits wide: 502 pages on objects 2 and 3, then 65536 on object 4.
constexpr int64_t kMaxPages = 502 + 65536;
constexpr int64_t kMaxImageBytes = kMaxPages * static_cast<int64_t>(kPageSize);

// Sum of every byte, read as a signed 8-bit number, shifted left by its truncated remainder
// modulo 8 (taken modulo 32), in wrapping 32-bit arithmetic.
int32_t ImageChecksum(const uint8_t* data, size_t n);

// The file name of the image path (after the last "\" or "/"), cut before its first "."
// unless that dot is the name's first character (".x.bin" gives ".x").
std::string FirmwareName(std::string_view imagePath);

// The name as the device receives it at (2,4): its first 16 bytes, zero-filled, as four
// 32-bit values, each the little-endian reading of four bytes.
std::array<int32_t, 4> FirmwareNameBlock(std::string_view name);

// An 8-bit value with its bit order reversed.
uint8_t ReverseBits(uint8_t b);

// The image as the device receives it: each whole little-endian 32-bit word bit-reversed
// (bit 0 becomes bit 31). The last 1 to 3 bytes of an image whose length is not a multiple
// of 4 form no whole word and are sent unconverted.
std::vector<uint8_t> ConvertImage(const uint8_t* data, size_t n);

// Date value for (2,6): bits 0-15 year, 16-23 month (1-12), 24-31 day of the month.
uint32_t DateValue(int year, int month, int day);
// The same for today's date in UTC.
uint32_t DateValueNowUtc();

// Object and parameter that receive one page.
struct PageAddress {
    uint16_t Obj;
    uint16_t Par;
};
// Pages 0-245 go to (2, p+10), 246-501 to (3, p-246), 502 and above to (4, p-502);
// no address beyond that.
std::optional<PageAddress> PageAddressOf(int64_t page);

// Number of pages an image of this many bytes takes.
constexpr int64_t PageCount(int64_t length) {
    return length <= 0 ? 0 : (length + static_cast<int64_t>(kPageSize) - 1) / static_cast<int64_t>(kPageSize);
}
