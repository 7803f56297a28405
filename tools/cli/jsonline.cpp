// JsonLine and the text helpers of the tool's output.
#include "tools/cli/jsonline.h"

#include "base/timetext.h"
#include "update/devicetext.h"

#include <cmath>

JsonLine::JsonLine(std::string_view event, std::chrono::system_clock::time_point when)
    : Body(nlohmann::ordered_json::object()) {
    Body["event"] = event;
    Body["time"] = UtcTimeText(when);
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view utf8) {
    Body[std::string(key)] = utf8;
    return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
    Body[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, double value) {
    // The shortest text that reads back as the rounded value: 4.3, 12.0.
    Body[std::string(key)] = std::round(value * 10) / 10;
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
    Body[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
    Body[std::string(key)] = nullptr;
    return *this;
}

JsonLine& JsonLine::Value(std::string_view key, nlohmann::ordered_json value) {
    Body[std::string(key)] = std::move(value);
    return *this;
}

std::string JsonLine::Str() const {
    return Body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

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
