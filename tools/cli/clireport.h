// The run report of fwupdate-cli (--report FILE.json or FILE.csv): one record per device with what it
// reported, what it was given, how it ended and when; written whole in one step, so a reader never
// sees half a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a device reported about itself; a value it has not reported is left out (empty).
struct DeviceIdentity {
    std::optional<int32_t> Kennung; // OEM id
    std::optional<int32_t> Serial;
    std::string Version; // HWV=H.L
    std::string Name, OemName, DeviceName, LibraryName;
};

struct DeviceRecord {
    std::string Address; // HOST:PORT
    DeviceIdentity Identity;
    std::string Config; // update: the configuration file
    std::string Image;  // the image it names, and the checksum the configuration gives for it
    std::optional<int32_t> Checksum;
    std::string Result = "pending"; // ok, dry-run, failed, oem-rule, ...; pending while the device runs
    std::optional<int> Code;        // its exit code, once it ended
    int Attempts = 0;
    std::optional<std::chrono::system_clock::time_point> Start, End; // in the report: UTC, ISO 8601 with ms
};

enum class ReportFormat { Json, Csv };

// By the file name's extension (.json, .csv, any case); nothing for another one.
std::optional<ReportFormat> ReportFormatFor(const std::string& path);

std::string ReportCsv(const std::vector<DeviceRecord>& records);
std::string ReportJson(const std::vector<DeviceRecord>& records);

// Writes the report in the format of its extension: a temporary file in the same folder, then renamed
// over path. Empty, or why it could not be written.
std::string WriteReport(const std::string& path, const std::vector<DeviceRecord>& records);

// Writes text to path the same way. Empty, or why not.
std::string WriteFileReplacing(const std::string& path, const std::string& text);
