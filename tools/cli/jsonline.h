// JsonLine: builds one JSON object for the tool's JSON Lines output, and the text helpers that keep
// what a device reports printable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class JsonLine {
public:
    // An object that starts with "event": event.
    explicit JsonLine(std::string_view event);

    JsonLine& Text(std::string_view key, std::string_view utf8);
    JsonLine& Int(std::string_view key, int64_t value);
    JsonLine& Number(std::string_view key, double value); // one decimal place
    JsonLine& Bool(std::string_view key, bool value);
    JsonLine& Null(std::string_view key);
    // A value that is already JSON (an array or object built by the caller).
    JsonLine& Raw(std::string_view key, std::string_view json);

    // The object, closed.
    std::string Str() const { return body + "}"; }

private:
    void Key(std::string_view key);
    std::string body;
};

// A JSON string literal of UTF-8 text: quotes, backslashes and control characters escaped,
// bytes that are not valid UTF-8 replaced by U+FFFD, so the line always parses.
std::string JsonQuoted(std::string_view utf8);

// A text the device reported as UTF-8 (DeviceTextUtf8), with control characters shown as '?', so a
// device cannot drive the operator's terminal.
std::string PrintableDeviceText(std::string_view bytes);
