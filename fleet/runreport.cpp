// The run report as CSV (RFC 4180) or JSON from one table of columns, and the write through a temporary
// file.
#include "fleet/runreport.h"

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
using Json = nlohmann::ordered_json;

Json Number(const std::optional<int32_t>& v) {
    return v ? Json(*v) : Json(nullptr);
}

// An absent text and an empty one alike: null.
Json Text(const std::optional<std::string>& t) {
    return t && !t->empty() ? Json(*t) : Json(nullptr);
}

Json Text(const std::string& t) {
    return t.empty() ? Json(nullptr) : Json(t);
}

Json Time(const std::optional<system_clock::time_point>& t) {
    return t ? Json(UtcTimeText(*t)) : Json(nullptr);
}

// The report's columns in their order: each a name and the value of one record (null when absent). A
// column added here appears in both formats.
struct Column {
    const char* Name;
    Json (*Value)(const DeviceRecord&);
};

const Column kColumns[] = {
    {"address", [](const DeviceRecord& r) { return Json(r.Address); }},
    {"kennung", [](const DeviceRecord& r) { return Number(r.Identity.Kennung); }},
    {"serial", [](const DeviceRecord& r) { return Number(r.Identity.Serial); }},
    {"version", [](const DeviceRecord& r) { return Text(r.Identity.Version); }},
    {"name", [](const DeviceRecord& r) { return Text(r.Identity.Name); }},
    {"oemName", [](const DeviceRecord& r) { return Text(r.Identity.OemName); }},
    {"deviceName", [](const DeviceRecord& r) { return Text(r.Identity.DeviceName); }},
    {"libraryName", [](const DeviceRecord& r) { return Text(r.Identity.LibraryName); }},
    {"config", [](const DeviceRecord& r) { return Text(r.Config); }},
    {"image", [](const DeviceRecord& r) { return Text(r.Image); }},
    {"checksum", [](const DeviceRecord& r) { return Number(r.Checksum); }},
    {"result", [](const DeviceRecord& r) { return Json(r.Result); }},
    {"code", [](const DeviceRecord& r) { return r.Code ? Json(*r.Code) : Json(nullptr); }},
    {"attempts", [](const DeviceRecord& r) { return Json(r.Attempts); }},
    {"start", [](const DeviceRecord& r) { return Time(r.Start); }},
    {"end", [](const DeviceRecord& r) { return Time(r.End); }},
    // In seconds with the milliseconds as decimals.
    {"seconds",
     [](const DeviceRecord& r) {
         return r.Start && r.End
                    ? Json(std::chrono::round<std::chrono::milliseconds>(*r.End - *r.Start).count() / 1000.0)
                    : Json(nullptr);
     }},
};

// A value as a CSV field's text: null as nothing, a fraction with three decimals.
std::string CsvText(const Json& value) {
    if (value.is_null())
        return {};
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", value.get<double>());
        return text;
    }
    return value.dump();
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
    std::string ext = PathToUtf8(PathFromUtf8(path).extension());
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
    for (const Column& column : kColumns)
        csv += std::string(csv.empty() ? "" : ",") + column.Name;
    csv += "\r\n";
    for (const DeviceRecord& r : records) {
        bool first = true;
        for (const Column& column : kColumns) {
            csv += (first ? "" : ",") + CsvField(CsvText(column.Value(r)));
            first = false;
        }
        csv += "\r\n";
    }
    return csv;
}

std::string ReportJson(const std::vector<DeviceRecord>& records) {
    Json devices = Json::array();
    for (const DeviceRecord& r : records) {
        Json d = Json::object();
        for (const Column& column : kColumns)
            d[column.Name] = column.Value(r);
        devices.push_back(std::move(d));
    }
    // Texts a device reported may hold bytes that are not UTF-8: replaced, never an exception.
    return Json{{"devices", devices}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
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
