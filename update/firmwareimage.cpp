// Pure functions over a firmware image: checksum, firmware name, word bit reversal, date value
// and page addressing.
#include "update/firmwareimage.h"

#include <chrono>

int32_t ImageChecksum(const uint8_t* data, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const int32_t s = static_cast<int8_t>(data[i]);
        // Truncating remainder modulo 8 keeps the sign of s; a negative remainder taken
        // modulo 32 becomes 24 + (s & 7).
        const int32_t low = s & 7;
        const unsigned shift =
            (s >= 0 || low == 0) ? static_cast<unsigned>(low) : 24u + static_cast<unsigned>(low);
        sum += static_cast<uint32_t>(s) << shift;
    }
    return static_cast<int32_t>(sum);
}

std::string FirmwareName(std::string_view imagePath) {
    const size_t sep = imagePath.find_last_of("\\/");
    std::string_view name = sep == std::string_view::npos ? imagePath : imagePath.substr(sep + 1);
    if (name.size() > 1) {
        const size_t dot = name.find('.', 1);
        if (dot != std::string_view::npos)
            name = name.substr(0, dot);
    }
    return std::string(name);
}

std::array<int32_t, 4> FirmwareNameBlock(std::string_view name) {
    uint8_t bytes[16] = {};
    for (size_t i = 0; i < name.size() && i < 16; ++i)
        bytes[i] = static_cast<uint8_t>(name[i]);
    std::array<int32_t, 4> words{};
    for (size_t w = 0; w < 4; ++w) {
        const uint32_t v = uint32_t(bytes[4 * w]) | uint32_t(bytes[4 * w + 1]) << 8 |
                           uint32_t(bytes[4 * w + 2]) << 16 | uint32_t(bytes[4 * w + 3]) << 24;
        words[w] = static_cast<int32_t>(v);
    }
    return words;
}

uint8_t ReverseBits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

std::vector<uint8_t> ConvertImage(const uint8_t* data, size_t n) {
    std::vector<uint8_t> out(data, data + n);
    const size_t whole = n - n % 4;
    for (size_t i = 0; i < whole; i += 4) {
        out[i] = ReverseBits(data[i + 3]);
        out[i + 1] = ReverseBits(data[i + 2]);
        out[i + 2] = ReverseBits(data[i + 1]);
        out[i + 3] = ReverseBits(data[i]);
    }
    return out;
}

uint32_t DateValue(int year, int month, int day) {
    return (static_cast<uint32_t>(year) & 0xFFFFu) | (static_cast<uint32_t>(month) & 0xFFu) << 16 |
           (static_cast<uint32_t>(day) & 0xFFu) << 24;
}

uint32_t DateValueNowUtc() {
    // The system clock counts UTC; the calendar date of its day needs no time-zone call.
    const std::chrono::year_month_day today{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
    return DateValue(static_cast<int>(today.year()), static_cast<int>(static_cast<unsigned>(today.month())),
                     static_cast<int>(static_cast<unsigned>(today.day())));
}

std::optional<PageAddress> PageAddressOf(int64_t page) {
    if (page < 0 || page >= kMaxPages)
        return std::nullopt;
    if (page <= 245)
        return PageAddress{2, static_cast<uint16_t>(page + 10)};
    if (page <= 501)
        return PageAddress{3, static_cast<uint16_t>(page - 246)};
    return PageAddress{4, static_cast<uint16_t>(page - 502)};
}
