// The settings file of the window of many devices: "key=value" lines.
#include "app/fleetsettings.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "app/intfield.h"
#include "base/platform.h"
#include "fleet/rollout.h"
#include "fleet/runreport.h"

namespace {

// A whole number from low to high, else nothing.
std::optional<int> Number(const std::string& text, int low, int high) {
    const std::optional<int32_t> v = IntFieldValue(text);
    if (!v || *v < low || *v > high)
        return std::nullopt;
    return *v;
}

// A value ends at the line's end: no line break may hide in it.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

} // namespace

std::string EncodeFleetSettings(const FleetSettings& s) {
    const FleetInputs& in = s.Inputs;
    std::string text = "range=" + OneLine(in.Range) + "\nport=" + OneLine(in.Port) +
                       "\njobs=" + std::to_string(in.Jobs) + "\nretries=" + std::to_string(in.Retries) +
                       "\nwaves=" + OneLine(in.Waves) + "\nmaxfailed=" + OneLine(in.MaxFailed) +
                       "\nconfig=" + OneLine(s.Config) + "\n";
    for (const auto& [version, config] : s.ConfigFor)
        text += "config-for=" + OneLine(version) + "=" + OneLine(config) + "\n";
    if (in.Width > 0 && in.Height > 0)
        text += "width=" + std::to_string(in.Width) + "\nheight=" + std::to_string(in.Height) + "\n";
    return text;
}

FleetSettings DecodeFleetSettings(const std::string& text) {
    FleetSettings s;
    FleetInputs& in = s.Inputs;
    std::istringstream lines(text);
    std::string error;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "range")
            in.Range = value;
        else if (key == "port" && Number(value, 1, 65535))
            in.Port = value;
        else if (key == "jobs")
            in.Jobs = Number(value, 0, 1000).value_or(in.Jobs);
        else if (key == "retries")
            in.Retries = Number(value, 0, 10).value_or(in.Retries);
        else if (key == "waves" && (value.empty() || !ParseWaves(value, error).empty()))
            in.Waves = value;
        else if (key == "maxfailed" && (value.empty() || ParseFailureLimit(value, error)))
            in.MaxFailed = value;
        else if (key == "config")
            s.Config = value;
        else if (key == "config-for") {
            // HWV=1.3=FILE: the version's own "=" first.
            const size_t at = value.find('=', value.rfind("HWV=", 0) == 0 ? 4 : 0);
            if (at != std::string::npos && at > 0 && at + 1 < value.size())
                s.ConfigFor[value.substr(0, at)] = value.substr(at + 1);
        } else if (key == "width")
            in.Width = Number(value, 200, 20000).value_or(0);
        else if (key == "height")
            in.Height = Number(value, 200, 20000).value_or(0);
    }
    if (in.Width == 0 || in.Height == 0)
        in.Width = in.Height = 0;
    return s;
}

FleetSettings LoadFleetSettings(const std::filesystem::path& file) {
    if (file.empty())
        return {};
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::stringstream text;
    text << in.rdbuf();
    return DecodeFleetSettings(text.str());
}

bool StoreFleetSettings(const std::filesystem::path& file, const FleetSettings& settings) {
    if (file.empty())
        return false;
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    return WriteFileReplacing(PathToUtf8(file), EncodeFleetSettings(settings)).empty();
}
