// Device texts made printable.
#include "fleet/deviceidentity.h"

#include "update/devicetext.h"

std::string PrintableDeviceText(std::string_view bytes) {
    // Control characters (C0, DEL and C1) are shown as '?'.
    const std::string utf8 = DeviceTextUtf8(bytes);
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || c1) {
            out += '?';
            i += c1 ? 1 : 0;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
