// The command line of fwupdate-cli: its commands and options, the help text, and the exit codes
// that scripts and production lines judge the outcome by.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// Exit codes. With several devices the highest code of all devices wins: the codes grow with how far
// an update got, so a device left with a half-written flash outranks one that was refused.
enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,      // an unexpected failure of the tool itself
    kExitUsage = 2,         // the command line is wrong
    kExitBadConfig = 3,     // "Error on reading config file"
    kExitNoConnection = 4,  // no connection, or no answer within the time-out ("No connection")
    kExitOemRule = 5,       // "Online 19 Devices can be updated"
    kExitSerialRule = 6,    // "Update not allowed: Serial"
    kExitImageNotFound = 7, // "binary - File not found"
    kExitInvalidImage = 8,  // "invalid binary", or an image larger than the page addressing reaches
    kExitUpdateFailed = 9,  // "Firmwareupdate ERROR": link lost or error reply during the update
    // Stopped by a signal between pages or before the update began: 128 + the signal's number.
    kExitHangUp = 129,      // SIGHUP: the terminal hung up (a dropped SSH session, a closed console)
    kExitInterrupted = 130, // SIGINT: Ctrl-C
    kExitTerminated = 143,  // SIGTERM: a termination request
};

// The exit code of a run that signal (1, 2 or 15) stopped.
constexpr int ExitCodeForSignal(int signal) {
    return 128 + signal;
}

enum class CliCommand { Help, Version, Info, Inspect, Update, Scan };

// One --device option: HOST[:PORT], and for update optionally =FILE.cfg, this device's own
// configuration instead of --config.
struct DeviceTarget {
    std::string Host;
    int Port = 2000;
    std::string Config;
    std::string Label; // HOST:PORT, how the device is named in the output
};

struct CliOptions {
    CliCommand Command = CliCommand::Help;
    std::vector<DeviceTarget> Devices;
    std::string Config; // --config, or the file of inspect
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
    int ScanPort = 2000;   // scan --port
    std::string WriteList; // scan --write-list: a device list for --devices-from
};

// The parsed command line, or the reason it is wrong (Error not empty).
struct ParsedCommandLine {
    CliOptions Options;
    std::string Error;
    std::string Help; // with CliCommand::Help: the text to print (one command's, or HelpText())
};

// args are the arguments after the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// Parses one --device value; false (with error) when it is not HOST[:PORT][=FILE.cfg].
bool ParseDeviceTarget(const std::string& text, bool allowConfig, DeviceTarget& target, std::string& error);

// Every command with its options, and the exit codes.
std::string HelpText();
