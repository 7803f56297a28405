// The run report as CSV (RFC 4180) or JSON, and the write through a temporary file.
#include "tools/cli/clireport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "base/platform.h"
#include "base/timetext.h"

namespace {

using std::chrono::system_clock;

const char* const kColumns[] = {"address",    "kennung",     "serial", "version", "name",     "oemName",
                                "deviceName", "libraryName", "config", "image",   "checksum", "result",
                                "code",       "attempts",    "start",  "end",     "seconds"};

// The fields of one record as text, in the order of kColumns; absent values are empty.
std::vector<std::string> Fields(const DeviceRecord& r) {
    auto number = [](const auto& v) { return v ? std::to_string(*v) : std::string(); };
    auto time = [](const std::optional<system_clock::time_point>& t) {
        return t ? UtcTimeText(*t) : std::string();
    };
    std::string seconds;
    if (r.Start && r.End) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(*r.End - *r.Start).count());
        seconds = text;
    }
    const DeviceIdentity& id = r.Identity;
    return {r.Address,
            number(id.Kennung),
            number(id.Serial),
            id.Version,
            id.Name,
            id.OemName,
            id.DeviceName,
            id.LibraryName,
            r.Config,
            r.Image,
            number(r.Checksum),
            r.Result,
            number(r.Code),
            std::to_string(r.Attempts),
            time(r.Start),
            time(r.End),
            seconds};
}

// A field quoted when it holds a comma, a quote or a line break; quotes inside doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

std::optional<ReportFormat> ReportFormatFor(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".json")
        return ReportFormat::Json;
    if (ext == ".csv")
        return ReportFormat::Csv;
    return std::nullopt;
}

std::string ReportCsv(const std::vector<DeviceRecord>& records) {
    // RFC 4180: CR LF after every record, the header included.
    std::string csv;
    for (const char* column : kColumns)
        csv += std::string(csv.empty() ? "" : ",") + column;
    csv += "\r\n";
    for (const DeviceRecord& r : records) {
        const std::vector<std::string> fields = Fields(r);
        for (size_t i = 0; i < fields.size(); ++i)
            csv += (i == 0 ? "" : ",") + CsvField(fields[i]);
        csv += "\r\n";
    }
    return csv;
}

std::string ReportJson(const std::vector<DeviceRecord>& records) {
    using json = nlohmann::ordered_json;
    json devices = json::array();
    for (const DeviceRecord& r : records) {
        auto optional = [](const auto& v) { return v ? json(*v) : json(nullptr); };
        auto text = [](const std::string& t) { return t.empty() ? json(nullptr) : json(t); };
        auto time = [](const std::optional<system_clock::time_point>& t) {
            return t ? json(UtcTimeText(*t)) : json(nullptr);
        };
        const DeviceIdentity& id = r.Identity;
        json d = json::object();
        d["address"] = r.Address;
        d["kennung"] = optional(id.Kennung);
        d["serial"] = optional(id.Serial);
        d["version"] = text(id.Version);
        d["name"] = text(id.Name);
        d["oemName"] = text(id.OemName);
        d["deviceName"] = text(id.DeviceName);
        d["libraryName"] = text(id.LibraryName);
        d["config"] = text(r.Config);
        d["image"] = text(r.Image);
        d["checksum"] = optional(r.Checksum);
        d["result"] = r.Result;
        d["code"] = optional(r.Code);
        d["attempts"] = r.Attempts;
        d["start"] = time(r.Start);
        d["end"] = time(r.End);
        d["seconds"] =
            r.Start && r.End
                ? json(std::chrono::round<std::chrono::milliseconds>(*r.End - *r.Start).count() / 1000.0)
                : json(nullptr);
        devices.push_back(std::move(d));
    }
    // Texts a device reported may hold bytes that are not UTF-8: replaced, never an exception.
    return json{{"devices", devices}}.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string WriteFileReplacing(const std::string& path, const std::string& text) {
    const std::filesystem::path target = PathFromUtf8(path);
    // Beside the target, so that the rename stays within one file system.
    std::filesystem::path temp = target;
    temp += ".tmp" + std::to_string(ProcessId());
    bool written = false;
    int error = 0;
    {
        errno = 0;
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        written = !out.fail();
        error = errno;
    }
    if (!written || !FileReplace(temp, target)) {
        if (written)
            error = errno;
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return "cannot write " + path + ": " + (error != 0 ? std::strerror(error) : "the write failed");
    }
    return {};
}

std::string WriteReport(const std::string& path, const std::vector<DeviceRecord>& records) {
    const std::optional<ReportFormat> format = ReportFormatFor(path);
    if (!format)
        return "the report " + path + " needs the extension .json or .csv";
    return WriteFileReplacing(path, *format == ReportFormat::Csv ? ReportCsv(records) : ReportJson(records));
}
