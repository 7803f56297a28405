// JsonLine: one event of the tool's JSON Lines output, built on nlohmann-json.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

class JsonLine {
public:
    // An object that starts with "event": event, then "time": when in UTC ("2026-12-08T07:45:12.345Z").
    explicit JsonLine(std::string_view event,
                      std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

    // The fields follow in the order they are added.
    JsonLine& Text(std::string_view key, std::string_view utf8);
    JsonLine& Int(std::string_view key, int64_t value);
    JsonLine& Number(std::string_view key, double value); // rounded to one decimal place
    JsonLine& Bool(std::string_view key, bool value);
    JsonLine& Null(std::string_view key);
    // An array or object built by the caller.
    JsonLine& Value(std::string_view key, nlohmann::ordered_json value);

    // The object on one line: control characters escaped, bytes that are not valid UTF-8 replaced by
    // U+FFFD, so the line always parses.
    std::string Str() const;

private:
    nlohmann::ordered_json Body;
};
