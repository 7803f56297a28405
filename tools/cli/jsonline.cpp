// JsonLine and the text helpers of the tool's output.
#include "tools/cli/jsonline.h"

#include "update/devicetext.h"

#include <cstdio>

JsonLine::JsonLine(std::string_view event) {
    body = "{\"event\":" + JsonQuoted(event);
}

void JsonLine::Key(std::string_view key) {
    body += ',';
    body += JsonQuoted(key);
    body += ':';
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view utf8) {
    Key(key);
    body += JsonQuoted(utf8);
    return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
    Key(key);
    body += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, double value) {
    Key(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    body += text;
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
    Key(key);
    body += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
    Key(key);
    body += "null";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json) {
    Key(key);
    body += json;
    return *this;
}

std::string JsonQuoted(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = Utf8SequenceLength(s.substr(i)); n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out += '"';
    return out;
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
