// The run report: one record per device with what it reported, what it was given, how it ended and
// when, and the run that wrote it; written as JSON or CSV (by the file name's extension), whole in one
// step, so a reader never sees half a file. A report is read back to redo the devices it left.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet/deviceidentity.h"

enum class ReportFormat { Json, Csv };

// One attempt of a device that ended: its result word, code and detail.
struct AttemptRecord {
    int Number = 0;
    std::string Result;
    int Code = 0;
    std::string Detail;
};

// The flash's state in one word, as far as the tool can tell.
inline constexpr const char* kFlashUntouched = "untouched";   // nothing was erased or written
inline constexpr const char* kFlashIncomplete = "incomplete"; // erased, and not every page was written
inline constexpr const char* kFlashUpdated = "updated";       // the update ended OK

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
    // Why no connection was made, in one word (refused, not-resolved, no-route, timed-out, silent,
    // closed-at-once, closed, no-answer, link-failed); empty for other results.
    std::string Cause;
    // kFlashUntouched, kFlashIncomplete, kFlashUpdated; while it runs empty, or kFlashIncomplete from the
    // moment its update's sequence begins (before the erase is sent) or, redone, from the run's start.
    std::string Flash;
    // The pages of the last attempt that began programming: the image's, sent, acknowledged (WOK).
    std::optional<int64_t> Pages, PagesSent, PagesAcknowledged;
    // The firmware it is given: the name told to the device, the version and revision of the configuration.
    std::string FirmwareName;
    std::optional<int32_t> FirmwareVersion, FirmwareRevision;
    std::chrono::milliseconds Waited{0};   // waiting for its turn (--jobs)
    std::vector<AttemptRecord> AttemptLog; // every attempt that ended, first to last
    // The configuration's fingerprint with its image (FirmwareCheck::Fingerprint); empty when not known.
    std::string Fingerprint;
    // The rollout's wave it was in, from 1; none in a run without waves.
    std::optional<int> Wave;
};

// The run that writes the report.
struct ReportRun {
    std::string Tool;    // the program: fwupdate-cli
    std::string Version; // its version
    std::string CommandLine;
    std::optional<std::chrono::system_clock::time_point> Start, End;
    std::optional<int> ExitCode; // once it ended
    int Signal = 0;              // the stop signal (1, 2, 15), 0 when none stopped it
    std::string Host;            // the computer it ran on
    std::string User;            // the operator's login name
    std::string Waves;           // the rollout's waves ("1,10%,100%"), empty without
    std::string MaxFailed;       // the failures it tolerates ("2", "10%"), empty when not limited
};

// A device row of an earlier report, carried unchanged into the report of the run that redoes it.
struct CarriedRow {
    size_t Position = 0;        // its place in the new report
    nlohmann::ordered_json Row; // column name to value
    nlohmann::ordered_json Run; // the earlier report's run object (a JSON report's), or null
};

// An earlier report as read back: its device rows (column name to value: numbers as numbers, an
// empty CSV field as null) and its run object (JSON only).
struct ReportRead {
    std::vector<nlohmann::ordered_json> Rows;
    nlohmann::ordered_json Run;
    std::string Error; // "FILE: what is wrong", or why it cannot be read; empty when read
};
ReportRead ParseReport(const std::string& text, const std::string& name, ReportFormat format);
ReportRead ReadReport(const std::string& path);

// Which rows of an earlier report a run redoes: "left" (every device that did not end OK and was not
// refused by the OEM or serial rule), "all", or result words separated by commas.
struct RedoChoice {
    bool All = false;
    std::set<std::string> Results; // empty with All false: left
};
// The choice of its text; nothing when a word is not a result word.
std::optional<RedoChoice> ParseRedoChoice(const std::string& text, std::string& error);
bool RedoTakes(const RedoChoice& choice, const nlohmann::ordered_json& row);

// The result words a report may hold.
extern const char* const kResultWords[];

// By the file name's extension (.json, .csv, any case); nothing for another one.
std::optional<ReportFormat> ReportFormatFor(const std::string& path);

// The devices in order, each carried row at its place; JSON has the run as its "run" object, CSV as the
// run columns of every row (a carried row keeps the run it came from).
std::string ReportCsv(const std::vector<DeviceRecord>& records, const ReportRun& run = {},
                      const std::vector<CarriedRow>& carried = {});
std::string ReportJson(const std::vector<DeviceRecord>& records, const ReportRun& run = {},
                       const std::vector<CarriedRow>& carried = {});

// Writes the report in the format of its extension: a temporary file in the same folder (PATH.tmpPID), on
// the disk before it is renamed over path, and the folder after, so that a crash or a power cut leaves the
// old report or the new one, whole. The temporary files that writers which no longer run left are removed.
// Empty, or why it could not be written.
std::string WriteReport(const std::string& path, const std::vector<DeviceRecord>& records,
                        const ReportRun& run = {}, const std::vector<CarriedRow>& carried = {});

// Writes text to path the same way. Empty, or why not.
std::string WriteFileReplacing(const std::string& path, const std::string& text);
