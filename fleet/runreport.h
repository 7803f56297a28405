// The run report: one record per device with what it reported, what it was given, how it ended and
// when; written as JSON or CSV (by the file name's extension), whole in one step, so a reader never sees
// half a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fleet/deviceidentity.h"

struct DeviceRecord {
    std::string Address; // HOST:PORT
    DeviceIdentity Identity;
    std::string Config; // update: the configuration file
    std::string Image;  // the image it names, and the checksum the configuration gives for it
    std::optional<int32_t> Checksum;
    std::string Result = "pending"; // ok, dry-run, failed, oem-rule, ...; pending while the device runs
    std::optional<int> Code;        // its code, once it ended
    std::string Detail;             // how it ended, in words (the done event's detail)
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
