// Reading and writing device lists.
#include "fleet/devicelist.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/platform.h"
#include "fleet/runreport.h"

namespace {

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

} // namespace

DeviceListRead ParseDeviceList(std::string_view text, const std::string& name, bool allowConfig) {
    DeviceListRead read;
    const std::filesystem::path folder = PathFromUtf8(name).parent_path();
    // A list saved with a UTF-8 byte-order mark (some Windows editors add one) reads as one without it.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    // A run report read as a list would be refused for its first line: it is named as what it is.
    const std::string_view start = Trimmed(text.substr(0, text.find('\n')));
    if ((start.substr(0, 1) == "{" &&
         ParseReport(std::string(text), name, ReportFormat::Json).Error.empty()) ||
        start.substr(0, 8) == "address,") {
        read.Error = name + ": a run report, not a device list";
        read.IsReport = true;
        return read;
    }
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = Trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const std::string where = name + ":" + std::to_string(lineNumber) + ": ";
        DeviceTarget target;
        std::string error;
        if (!ParseDeviceTarget(std::string(line), allowConfig, target, error)) {
            read.Error = where + error;
            return read;
        }
        if (!target.Config.empty() && PathFromUtf8(target.Config).is_relative() && !folder.empty())
            target.Config = PathToUtf8(folder / PathFromUtf8(target.Config));
        read.Devices.push_back(target);
    }
    return read;
}

DeviceListRead ReadDeviceList(const std::string& path, bool allowConfig) {
    std::error_code ec;
    if (std::filesystem::is_directory(PathFromUtf8(path), ec))
        return {{}, "device list " + path + ": it is a folder, not a file"};
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) {
        const int error = errno;
        return {{}, "device list " + path + ": cannot be read: " + std::strerror(error)};
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return ParseDeviceList(text, path, allowConfig);
}

std::string DeviceListText(const std::vector<DeviceTarget>& devices, const std::vector<std::string>& notes,
                           const std::string& header) {
    std::string text;
    std::istringstream lines(header);
    for (std::string line; std::getline(lines, line);)
        text += "# " + line + "\n";
    for (size_t i = 0; i < devices.size(); ++i) {
        text += devices[i].Host + ":" + std::to_string(devices[i].Port);
        if (i < notes.size() && !notes[i].empty())
            text += "  # " + notes[i];
        text += "\n";
    }
    return text;
}
