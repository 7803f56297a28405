// JsonLine: the events of the tool's JSON Lines output.
#include "tools/cli/jsonline.h"

#include "base/timetext.h"

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
