// The run report as CSV (RFC 4180) or JSON from one table of columns, the write through a temporary
// file, and the report read back for a run that redoes it.
#include "fleet/runreport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

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

Json Number64(const std::optional<int64_t>& v) {
    return v ? Json(*v) : Json(nullptr);
}

Json Seconds(std::chrono::milliseconds d) {
    return Json(static_cast<double>(d.count()) / 1000.0);
}

// How a column's CSV text reads back.
enum class Kind { Text, Integer, Real, List };

// The report's columns in their order: each a name and the value of one record (null when absent). A
// column added here appears in both formats; new ones go after the last, for readers that count them. A
// column after the run's columns comes after them in CSV too, so that every earlier column keeps its place.
struct Column {
    const char* Name;
    Json (*Value)(const DeviceRecord&);
    Kind Type = Kind::Text;
    bool AfterRun = false;
};

const Column kColumns[] = {
    {"address", [](const DeviceRecord& r) { return Json(r.Address); }},
    {"kennung", [](const DeviceRecord& r) { return Number(r.Identity.Kennung); }, Kind::Integer},
    {"serial", [](const DeviceRecord& r) { return Number(r.Identity.Serial); }, Kind::Integer},
    {"version", [](const DeviceRecord& r) { return Text(r.Identity.Version); }},
    {"name", [](const DeviceRecord& r) { return Text(r.Identity.Name); }},
    {"oemName", [](const DeviceRecord& r) { return Text(r.Identity.OemName); }},
    {"deviceName", [](const DeviceRecord& r) { return Text(r.Identity.DeviceName); }},
    {"libraryName", [](const DeviceRecord& r) { return Text(r.Identity.LibraryName); }},
    {"config", [](const DeviceRecord& r) { return Text(r.Config); }},
    {"image", [](const DeviceRecord& r) { return Text(r.Image); }},
    {"checksum", [](const DeviceRecord& r) { return Number(r.Checksum); }, Kind::Integer},
    {"result", [](const DeviceRecord& r) { return Json(r.Result); }},
    {"code", [](const DeviceRecord& r) { return r.Code ? Json(*r.Code) : Json(nullptr); }, Kind::Integer},
    {"attempts", [](const DeviceRecord& r) { return Json(r.Attempts); }, Kind::Integer},
    {"start", [](const DeviceRecord& r) { return Time(r.Start); }},
    {"end", [](const DeviceRecord& r) { return Time(r.End); }},
    // In seconds with the milliseconds as decimals.
    {"seconds",
     [](const DeviceRecord& r) {
         return r.Start && r.End
                    ? Json(std::chrono::round<std::chrono::milliseconds>(*r.End - *r.Start).count() / 1000.0)
                    : Json(nullptr);
     },
     Kind::Real},
    {"detail", [](const DeviceRecord& r) { return Text(r.Detail); }},
    {"cause", [](const DeviceRecord& r) { return Text(r.Cause); }},
    {"flash", [](const DeviceRecord& r) { return Text(r.Flash); }},
    {"pages", [](const DeviceRecord& r) { return Number64(r.Pages); }, Kind::Integer},
    {"pagesSent", [](const DeviceRecord& r) { return Number64(r.PagesSent); }, Kind::Integer},
    {"pagesAcknowledged", [](const DeviceRecord& r) { return Number64(r.PagesAcknowledged); }, Kind::Integer},
    {"firmwareName", [](const DeviceRecord& r) { return Text(r.FirmwareName); }},
    {"firmwareVersion", [](const DeviceRecord& r) { return Number(r.FirmwareVersion); }, Kind::Integer},
    {"firmwareRevision", [](const DeviceRecord& r) { return Number(r.FirmwareRevision); }, Kind::Integer},
    // The version column under the name that says when it was read: before the update.
    {"versionBefore", [](const DeviceRecord& r) { return Text(r.Identity.Version); }},
    {"waitSeconds", [](const DeviceRecord& r) { return r.Start ? Seconds(r.Waited) : Json(nullptr); },
     Kind::Real},
    // The device's own time: from its start to its end, without the wait for its turn.
    {"updateSeconds",
     [](const DeviceRecord& r) {
         return r.Start && r.End
                    ? Seconds(std::chrono::round<std::chrono::milliseconds>(*r.End - *r.Start) - r.Waited)
                    : Json(nullptr);
     },
     Kind::Real},
    {"attemptLog",
     [](const DeviceRecord& r) {
         Json list = Json::array();
         for (const AttemptRecord& a : r.AttemptLog)
             list.push_back(
                 {{"attempt", a.Number}, {"result", a.Result}, {"code", a.Code}, {"detail", a.Detail}});
         return list;
     },
     Kind::List},
    {"fingerprint", [](const DeviceRecord& r) { return Text(r.Fingerprint); }, Kind::Text, true},
    // The rollout's wave the device was in, from 1; empty in a run without waves.
    {"wave", [](const DeviceRecord& r) { return Number(r.Wave); }, Kind::Integer, true},
};

// The run's columns of a CSV row, and the run object's key each stands for; the late ones come after the
// device columns that come after the run's.
struct RunColumn {
    const char* Name;
    const char* Key;
    bool Late = false;
};
const RunColumn kRunColumns[] = {
    {"runTool", "tool"},     {"runVersion", "version"}, {"runCommandLine", "commandLine"},
    {"runStart", "start"},   {"runEnd", "end"},         {"runExitCode", "exitCode"},
    {"runSignal", "signal"}, {"runHost", "host", true}, {"runUser", "user", true},
    {"runWaves", "waves", true}, {"runMaxFailed", "maxFailed", true},
};

Json RunObject(const ReportRun& run) {
    return Json{{"tool", Text(run.Tool)},
                {"version", Text(run.Version)},
                {"commandLine", Text(run.CommandLine)},
                {"start", Time(run.Start)},
                {"end", Time(run.End)},
                {"exitCode", run.ExitCode ? Json(*run.ExitCode) : Json(nullptr)},
                {"signal", run.Signal != 0 ? Json(run.Signal) : Json(nullptr)},
                {"host", Text(run.Host)},
                {"user", Text(run.User)},
                {"waves", Text(run.Waves)},
                {"maxFailed", Text(run.MaxFailed)}};
}

// The attempts as one CSV field: "1: failed (9) DETAIL | 2: ok (0) DETAIL".
std::string AttemptLogText(const Json& list) {
    std::string text;
    for (const Json& a : list) {
        if (!a.is_object())
            continue;
        text += std::string(text.empty() ? "" : " | ") + std::to_string(a.value("attempt", 0)) + ": " +
                a.value("result", "") + " (" + std::to_string(a.value("code", 0)) + ") " +
                a.value("detail", "");
    }
    return text;
}

// The device rows in report order: each record's columns, each carried row at its place.
std::vector<Json> DeviceRows(const std::vector<DeviceRecord>& records, const std::vector<CarriedRow>& carried,
                             std::vector<const CarriedRow*>& from) {
    std::vector<Json> rows;
    size_t next = 0, nextCarried = 0;
    const size_t total = records.size() + carried.size();
    for (size_t at = 0; at < total; ++at) {
        if (nextCarried < carried.size() && (carried[nextCarried].Position <= at || next >= records.size())) {
            const CarriedRow& c = carried[nextCarried++];
            Json row = Json::object();
            for (const Column& column : kColumns)
                row[column.Name] = c.Row.contains(column.Name) ? c.Row.at(column.Name) : Json(nullptr);
            rows.push_back(std::move(row));
            from.push_back(&c);
            continue;
        }
        const DeviceRecord& r = records[next++];
        Json row = Json::object();
        for (const Column& column : kColumns)
            row[column.Name] = column.Value(r);
        rows.push_back(std::move(row));
        from.push_back(nullptr);
    }
    return rows;
}

// A value as a CSV field's text: null as nothing, a fraction with three decimals.
std::string CsvText(const Json& value) {
    if (value.is_null())
        return {};
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_array())
        return AttemptLogText(value);
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

std::string ReportCsv(const std::vector<DeviceRecord>& records, const ReportRun& run,
                      const std::vector<CarriedRow>& carried) {
    // Columns are only ever added at the end: the device columns of the first reports, the run's columns,
    // then the device columns and run columns added later.
    struct CsvColumn {
        const Column* Device;
        const RunColumn* Run;
    };
    std::vector<CsvColumn> order;
    for (const Column& column : kColumns)
        if (!column.AfterRun)
            order.push_back({&column, nullptr});
    for (const RunColumn& column : kRunColumns)
        if (!column.Late)
            order.push_back({nullptr, &column});
    for (const Column& column : kColumns)
        if (column.AfterRun)
            order.push_back({&column, nullptr});
    for (const RunColumn& column : kRunColumns)
        if (column.Late)
            order.push_back({nullptr, &column});

    // RFC 4180: CR LF after every record, the header included.
    std::string csv;
    for (const CsvColumn& c : order)
        csv += std::string(csv.empty() ? "" : ",") + (c.Device ? c.Device->Name : c.Run->Name);
    csv += "\r\n";
    const Json thisRun = RunObject(run);
    std::vector<const CarriedRow*> from;
    const std::vector<Json> rows = DeviceRows(records, carried, from);
    for (size_t i = 0; i < rows.size(); ++i) {
        bool first = true;
        for (const CsvColumn& c : order) {
            Json value;
            if (c.Device) {
                value = rows[i].at(c.Device->Name);
            } else if (const CarriedRow* carriedRow = from[i]) {
                // A carried row keeps the run it came from: its own run columns, or its report's run object.
                if (carriedRow->Row.contains(c.Run->Name))
                    value = carriedRow->Row.at(c.Run->Name);
                else if (carriedRow->Run.is_object())
                    value = carriedRow->Run.value(c.Run->Key, Json(nullptr));
            } else {
                value = thisRun.at(c.Run->Key);
            }
            csv += (first ? "" : ",") + CsvField(CsvText(value));
            first = false;
        }
        csv += "\r\n";
    }
    return csv;
}

std::string ReportJson(const std::vector<DeviceRecord>& records, const ReportRun& run,
                       const std::vector<CarriedRow>& carried) {
    std::vector<const CarriedRow*> from;
    Json devices = Json::array();
    for (Json& row : DeviceRows(records, carried, from))
        devices.push_back(std::move(row));
    // Texts a device reported may hold bytes that are not UTF-8: replaced, never an exception.
    return Json{{"run", RunObject(run)}, {"devices", devices}}.dump(2, ' ', false,
                                                                    Json::error_handler_t::replace) +
           "\n";
}

namespace {

// The temporary file beside target of the writer with process id pid.
std::filesystem::path TemporaryOf(const std::filesystem::path& target, int pid) {
    std::filesystem::path temp = target;
    temp += ".tmp" + std::to_string(pid);
    return temp;
}

// Removes the temporary files of target that writers left when they crashed or lost power: those of a
// process that no longer runs.
void RemoveLeftTemporaries(const std::filesystem::path& target) {
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const std::string prefix = PathToUtf8(target.filename()) + ".tmp";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = PathToUtf8(it->path().filename());
        if (name.size() <= prefix.size() || name.size() > prefix.size() + 10 || name.rfind(prefix, 0) != 0)
            continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const long long pid = std::stoll(digits);
        std::error_code ignored;
        if (pid != ProcessId() && pid <= INT32_MAX && !ProcessAlive(static_cast<int>(pid)) &&
            it->is_regular_file(ignored))
            std::filesystem::remove(it->path(), ignored);
    }
}

} // namespace

std::string WriteFileReplacing(const std::string& path, const std::string& text) {
    const std::filesystem::path target = PathFromUtf8(path);
    RemoveLeftTemporaries(target);
    // Beside the target, so that the rename stays within one file system.
    const std::filesystem::path temp = TemporaryOf(target, ProcessId());
    // On the disk before the rename and its name after it: a power cut leaves the old file or the new one,
    // whole, never an empty or a cut one.
    errno = 0;
    const int file = FileCreate(temp);
    bool written = file >= 0 && FileWriteAll(file, text) && FileSync(file);
    int error = errno;
    FileClose(file);
    if (written && !FileReplace(temp, target)) {
        written = false;
        error = errno;
    }
    if (!written) {
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return "cannot write " + path + ": " + (error != 0 ? std::strerror(error) : "the write failed");
    }
    if (!FolderSync(target.has_parent_path() ? target.parent_path() : std::filesystem::path(".")))
        return "cannot write " + path + ": its folder was not written to the disk: " + std::strerror(errno);
    return {};
}

std::string WriteReport(const std::string& path, const std::vector<DeviceRecord>& records,
                        const ReportRun& run, const std::vector<CarriedRow>& carried) {
    const std::optional<ReportFormat> format = ReportFormatFor(path);
    if (!format)
        return "the report " + path + " needs the extension .json or .csv";
    return WriteFileReplacing(path, *format == ReportFormat::Csv ? ReportCsv(records, run, carried)
                                                                 : ReportJson(records, run, carried));
}

// ---- reading a report back ----

const char* const kResultWords[] = {
    "pending",  "ok",          "dry-run",    "failed",          "interrupted",    "no-connection",
    "oem-rule", "serial-rule", "bad-config", "image-not-found", "invalid-binary", "image-too-large",
    "internal", "held",        "skipped",    nullptr};

namespace {

// The rows of a CSV text (RFC 4180; a lone LF ends a row too); false when a quote is left open.
bool CsvRows(std::string_view text, std::vector<std::vector<std::string>>& rows) {
    std::vector<std::string> row;
    std::string field;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
            continue;
        }
        any = true;
        if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            if (c == '\r')
                ++i;
            row.push_back(std::move(field));
            field.clear();
            rows.push_back(std::move(row));
            row.clear();
            any = false;
        } else {
            field += c;
        }
    }
    if (quoted)
        return false;
    if (any || !field.empty()) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return true;
}

// A CSV field read back as the column's kind: empty is null, a number that does not read stays text.
Json CsvValue(const std::string& name, const std::string& text) {
    if (text.empty())
        return nullptr;
    Kind type = Kind::Text;
    for (const Column& column : kColumns)
        if (name == column.Name)
            type = column.Type;
    if (name == "runExitCode" || name == "runSignal")
        type = Kind::Integer;
    if (type == Kind::Integer || type == Kind::Real) {
        const Json number = Json::parse(text, nullptr, false);
        if (number.is_number())
            return number;
    }
    return text;
}

} // namespace

ReportRead ParseReport(const std::string& text, const std::string& name, ReportFormat format) {
    ReportRead read;
    std::string_view body = text;
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        body.remove_prefix(3); // a byte-order mark from an editor
    if (format == ReportFormat::Json) {
        const Json report = Json::parse(body, nullptr, false);
        if (!report.is_object() || !report.contains("devices") || !report.at("devices").is_array()) {
            read.Error = name + ": not a report (a JSON object with a \"devices\" list)";
            return read;
        }
        read.Run = report.value("run", Json(nullptr));
        for (const Json& device : report.at("devices")) {
            if (!device.is_object() || !device.contains("address") || !device.at("address").is_string()) {
                read.Error = name + ": device " + std::to_string(read.Rows.size() + 1) + " has no address";
                return read;
            }
            read.Rows.push_back(device);
        }
        return read;
    }
    std::vector<std::vector<std::string>> rows;
    if (!CsvRows(body, rows)) {
        read.Error = name + ": a quoted field is not closed";
        return read;
    }
    if (rows.empty() || rows[0].empty() || rows[0][0] != "address") {
        read.Error = name + ": not a report (its first line names the columns, address first)";
        return read;
    }
    for (size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() == 1 && rows[r][0].empty())
            continue; // a blank line
        if (rows[r].size() != rows[0].size()) {
            read.Error = name + ":" + std::to_string(r + 1) + ": " + std::to_string(rows[r].size()) +
                         " fields, the header names " + std::to_string(rows[0].size());
            return read;
        }
        Json row = Json::object();
        for (size_t c = 0; c < rows[0].size(); ++c)
            row[rows[0][c]] = CsvValue(rows[0][c], rows[r][c]);
        if (!row.at("address").is_string()) {
            read.Error = name + ":" + std::to_string(r + 1) + ": no address";
            return read;
        }
        read.Rows.push_back(std::move(row));
    }
    return read;
}

ReportRead ReadReport(const std::string& path) {
    const std::optional<ReportFormat> format = ReportFormatFor(path);
    if (!format)
        return {{}, nullptr, "the report " + path + " needs the extension .json or .csv"};
    std::error_code ec;
    if (std::filesystem::is_directory(PathFromUtf8(path), ec))
        return {{}, nullptr, "report " + path + ": it is a folder, not a file"};
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) {
        const int error = errno;
        return {{}, nullptr, "report " + path + ": cannot be read: " + std::strerror(error)};
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return ParseReport(text, "report " + path, *format);
}

std::optional<RedoChoice> ParseRedoChoice(const std::string& text, std::string& error) {
    RedoChoice choice;
    if (text == "left")
        return choice;
    if (text == "all") {
        choice.All = true;
        return choice;
    }
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string word = text.substr(at, comma - at);
        bool known = false;
        for (const char* const* w = kResultWords; *w != nullptr; ++w)
            known = known || word == *w;
        if (!known) {
            error = "'" + word + "' is not a result word (left, all, or results such as failed,interrupted)";
            return std::nullopt;
        }
        choice.Results.insert(word);
        at = comma + 1;
    }
    return choice;
}

bool RedoTakes(const RedoChoice& choice, const Json& row) {
    if (choice.All)
        return true;
    const Json result = row.value("result", Json(nullptr));
    const std::string word = result.is_string() ? result.get<std::string>() : "pending";
    if (!choice.Results.empty())
        return choice.Results.count(word) != 0;
    // Left: whatever did not end OK, except the refusals a new attempt cannot change.
    const Json code = row.value("code", Json(nullptr));
    if (code.is_number_integer() && code.get<int>() == 0)
        return false;
    return word != "oem-rule" && word != "serial-rule" && word != "ok" && word != "dry-run";
}
