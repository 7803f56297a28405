// Device texts as UTF-8: validated as UTF-8, else taken as Latin-1.
#include "update/devicetext.h"

#include <cstdint>

namespace {

bool IsUtf8(std::string_view text) {
    while (!text.empty()) {
        const size_t n = Utf8SequenceLength(text);
        if (n == 0)
            return false;
        text.remove_prefix(n);
    }
    return true;
}

} // namespace

size_t Utf8SequenceLength(std::string_view text) {
    if (text.empty())
        return 0;
    const auto b = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = b(0);
    if (lead < 0x80)
        return 1;
    size_t n;
    uint8_t low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < n || b(1) < low || b(1) > high)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF)
            return 0;
    return n;
}

std::string DeviceTextUtf8(std::string_view bytes) {
    if (IsUtf8(bytes))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
