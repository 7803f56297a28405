// The command line of fwupdate-cli: its commands and options, the help text, and the exit codes
// that scripts and production lines judge the outcome by.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The exit codes: a run's is the highest code of its devices (ExitCode).
#include "fleet/devicetarget.h"
#include "fleet/resultcode.h"
#include "fleet/rollout.h"
#include "fleet/runreport.h"

enum class CliCommand { Help, Version, Info, Inspect, Update, Scan };

struct CliOptions {
    CliCommand Command = CliCommand::Help;
    std::vector<DeviceTarget> Devices; // --device: HOST[:PORT], for update optionally =FILE.cfg
    std::string Config;                // --config, or the file of inspect
    bool Admin = false;
    bool DryRun = false;
    bool Json = false;
    std::chrono::milliseconds Timeout{5000};
    int ProgressEvery = 16;
    std::string LogFile;    // --log (info, update, scan): the log file; empty: the default one
    int Retries = 0;        // --retries (update): whole updates run again after a failure, 0..100
    std::string ReportFile; // --report (info, update): FILE.json or FILE.csv, one record per device
    int Jobs = 0;           // --jobs (update): devices programmed at once; 0: no limit
    std::string
        DevicesFrom;       // --devices-from (info, update): a device list, one HOST[:PORT][=FILE.cfg] a line
    std::string ScanRange; // scan: the address range as given (A.B.C.D/NN or A.B.C.D-E)
    int Port = kDefaultDevicePort; // --port: every device without a port of its own, every address of a scan
    std::string WriteList;         // scan --write-list: a device list for --devices-from
    bool Replace = false;          // --replace: an existing --report or --write-list file may be replaced
    std::string Redo;              // --redo (info, update): an earlier report whose devices are left to do
    RedoChoice RedoWhich;          // --redo-results: which of its devices (default: left)
    // The earlier report's rows the run does not redo, carried into its report (by AddListedDevices).
    std::vector<CarriedRow> Carried;
    std::set<std::string> IncompleteBefore; // the redone devices (DeviceKey) the report calls incomplete
    std::vector<WaveSize> Waves;            // --waves (or --canary N: N,100%)
    std::optional<FailureLimit> MaxFailed;  // --max-failed
    std::map<std::string, std::string> ConfigFor; // --config-for, by version ("HWV=1.4")
    std::string OnlyVersion;                      // --only-version ("HWV=1.4")
};

// The parsed command line, or the reason it is wrong (Error not empty).
struct ParsedCommandLine {
    CliOptions Options;
    std::string Error;
    std::string Help; // with CliCommand::Help: the text to print (one command's, or HelpText())
};

// args are the arguments after the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// --devices-from: adds the listed devices after those of --device; --redo then the devices its report
// leaves to do, in the report's order, and keeps its other rows as Carried, each at its place. A listed
// device without its own configuration takes --config; the same HOST:PORT twice (from any source) is
// refused. Empty, or the usage error.
std::string AddListedDevices(CliOptions& options);

// --replace: an existing file that --report or --write-list would replace is refused unless it is given.
// Empty, or the usage error.
std::string CheckReplace(const CliOptions& options);

// Every command with its options, and the exit codes.
std::string HelpText();
