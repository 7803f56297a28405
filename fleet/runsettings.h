// What a fleet run does with its devices: identify them or update them, and how.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fleet/rollout.h"
#include "fleet/runreport.h"

class UpdateClock;

enum class FleetTask {
    Identify, // connect, ask each device who it is, close
    Update,   // identify, check the rules, program the flash
};

struct RunSettings {
    FleetTask Task = FleetTask::Update;
    // The configuration of every device that has none of its own.
    std::string Config;
    bool Admin = false;  // lifts the OEM rule
    bool DryRun = false; // every check, then a plan instead of the update; nothing is written
    // How long a device may take to answer its nine identification reads.
    std::chrono::milliseconds Timeout{5000};
    // After a lost link, a refused connection, no answer or an error reply, the whole sequence runs again
    // on a new connection, up to this many more times.
    int Retries = 0;
    // At most this many devices are programmed at once; the others wait their turn (0: no limit).
    int Jobs = 0;
    // Where the report goes, FILE.json or FILE.csv; empty: no report.
    std::string ReportPath;
    // The report's run: the front end names the tool, its version and command line; the run adds its
    // start, end, exit code and stop signal.
    ReportRun Run;
    // Rows of an earlier report that this run redoes in part, carried into its report unchanged.
    std::vector<CarriedRow> Carried;
    // Devices (by DeviceKey) an earlier run left with an incomplete flash: their flash stays incomplete
    // unless this run updates them.
    std::set<std::string> IncompleteBefore;
    // The diagnostic log of the run, named in the details that send the reader there.
    std::string LogPath;
    // Progress events also between pages (about five a second), for a display of the time left.
    bool ProgressBetweenPages = false;
    // Paces the updates by this clock instead of sleeping for real (tests); nullptr: real time.
    UpdateClock* Clock = nullptr;
    // The rollout: cumulative wave sizes (empty: every device at once, or the waves the targets carry from
    // an earlier run), and how many failures it tolerates before it holds the devices not begun (none: every
    // one). A wave begins once every device of the one before has ended.
    std::vector<WaveSize> Waves;
    std::optional<FailureLimit> MaxFailed;
    // Configurations by the version a device reports ("HWV=1.4"). A device without a configuration of its
    // own takes the one of its version, else Config; with neither it is skipped, untouched.
    std::map<std::string, std::string> ConfigFor;
    // Only devices that report this version are updated; the others are skipped. Empty: every version.
    std::string OnlyVersion;
};
