// Parsing of fwupdate-cli's command line (through CLI11) and its help text.
#include "tools/cli/clioptions.h"

#include "base/platform.h"
#include "fleet/devicelist.h"
#include "fleet/runreport.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>

#include "base/platform.h"

namespace {

constexpr double kMaxTimeoutSeconds = 3600;
constexpr long kMaxProgressEvery = 1000000;
constexpr long kMaxRetries = 100;
constexpr long kMaxJobs = 1000000;

bool ParseInt(const std::string& text, long minimum, long maximum, long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= minimum && value <= maximum;
}

bool ParseSeconds(const std::string& text, std::chrono::milliseconds& out) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
        seconds > kMaxTimeoutSeconds)
        return false;
    out = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
    return true;
}

// What CLI11 collects: every value as text, so that each is checked (and refused) in the tool's words.
struct RawArgs {
    std::vector<std::string> Devices, Configs, Timeouts, ProgressEvery, Logs, Retries, Reports, Jobs,
        DevicesFrom, Ports, WriteLists, Positionals, Redos, RedoResults, Waves, Canaries, MaxFailed, ConfigFor,
        OnlyVersion;
    bool Admin = false, DryRun = false, Json = false, Version = false, Replace = false;
};

struct CommandInfo {
    const char* Name;
    CliCommand Command;
    const char* Description;
};

const CommandInfo kCommands[] = {
    {"info", CliCommand::Info,
     "Connect, ask each device who it is (nine reads) and print the answers: OEM id with its list\n"
     "text, version (HWV=), serial number, mode and the four texts."},
    {"inspect", CliCommand::Inspect,
     "Decipher a firmware configuration file and print its fields and whether it is valid;\n"
     "no device is involved."},
    {"update", CliCommand::Update,
     "Identify each device, check the rules (device answered; OEM id 19 unless --admin; the serial\n"
     "number a configuration may be bound to; the image, named by the configuration and looked for\n"
     "in the configuration file's folder, exists, matches its checksum and fits the page\n"
     "addressing), then program the flash page by page."},
    {"scan", CliCommand::Scan,
     "Connect to every address of RANGE (A.B.C.D/NN or A.B.C.D-E), identify what answers and print\n"
     "it; --write-list writes a device list for --devices-from."},
};

// An option's help, broken into lines that fit beside the option names within 100 columns.
std::string Wrap(const std::string& text) {
    constexpr size_t kWidth = 66;
    std::string out, line;
    size_t at = 0;
    while (at < text.size()) {
        const size_t space = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, space - at);
        if (!line.empty() && line.size() + 1 + word.size() > kWidth) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = space + 1;
    }
    return out + line;
}

// A value option: one value each time it is given, collected in order.
CLI::Option* ValueOption(CLI::App& app, const std::string& names, std::vector<std::string>& into,
                         const std::string& typeName, const std::string& help) {
    return app.add_option(names, into, Wrap(help))
        ->type_name(typeName)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* Flag(CLI::App& app, const std::string& names, bool& into, const std::string& help) {
    return app.add_flag(names, into, Wrap(help))->disable_flag_override();
}

// The options of one command, on app (a command of its own, or a subcommand of the whole help).
void DefineCommand(CLI::App& app, CliCommand command, RawArgs& raw) {
    const bool update = command == CliCommand::Update;
    const bool devices = command == CliCommand::Info || update;
    app.set_help_flag("-h,--help", "this text");
    if (command == CliCommand::Inspect)
        app.add_option("FILE.cfg", raw.Positionals, "the configuration file")->type_name("");
    if (command == CliCommand::Scan)
        app.add_option("RANGE", raw.Positionals, "A.B.C.D/NN or A.B.C.D-E")->type_name("");
    if (devices) {
        ValueOption(app, "-d,--device", raw.Devices, update ? "HOST[:PORT][=FILE.cfg]" : "HOST[:PORT]",
                    "a device (the port of --port, 2000 by default, when none is given). Repeat it for "
                    "several devices, in "
                    "parallel, each with its own identification and result." +
                        std::string(update ? " HOST[:PORT]=FILE.cfg: this device's own configuration." : ""));
        ValueOption(app, "--devices-from", raw.DevicesFrom, "FILE",
                    "devices from a list: one HOST[:PORT][=FILE.cfg] a line, # comments; with or "
                    "without --device");
        ValueOption(app, "--redo", raw.Redos, "REPORT",
                    "the devices an earlier --report left to do (by default every device that did not "
                    "end OK and was not refused by the OEM or serial rule), each with its configuration; "
                    "this run's --report carries the report's other devices unchanged, so the last "
                    "report holds the whole job");
        ValueOption(app, "--redo-results", raw.RedoResults, "WHICH",
                    "which devices --redo takes: left (the default), all, or result words separated by "
                    "commas (failed,interrupted,no-connection,...)");
    }
    if (update) {
        ValueOption(app, "-c,--config", raw.Configs, "FILE.cfg",
                    "the firmware configuration for every device without its own");
        Flag(app, "--admin", raw.Admin,
             "administrator mode: lifts the OEM rule (the window's -admin works too)");
        Flag(app, "--dry-run", raw.DryRun,
             "every check, then print what would be written (objects, pages, name, version, "
             "revision) and send nothing: the device receives only the nine identification reads "
             "that the rules need (and the link's keep-alive read), never a write");
    }
    if (devices)
        ValueOption(app, "--port", raw.Ports, "P",
                    "the port of every device given without one, on the command line or in the list "
                    "(default 2000)");
    if (command == CliCommand::Scan) {
        ValueOption(app, "--port", raw.Ports, "P", "the port to connect to on every address (default 2000)");
        ValueOption(app, "--write-list", raw.WriteLists, "FILE",
                    "write the devices that answered as a device list for --devices-from");
    }
    Flag(app, "--json", raw.Json,
         "JSON Lines on standard output instead of text, one event per line" +
             std::string(
                 update
                     ? ": connected, identified, refused (with reason), plan (--dry-run), started, "
                       "progress (every N pages), done (one per device, the last event of "
                       "each device, with its exit code, the flash's state and, for no-connection, its "
                       "cause), wave (a wave of --waves begins), hold (the rollout holds the devices not "
                       "begun), interrupted (with the signal), and last summary "
                       "(results "
                       "counted per result, devices, exit code, seconds). Every event starts with \"event\" "
                       "and \"time\" (UTC, in milliseconds: 2026-12-08T07:45:12.345Z)"
                     : ""));
    if (command != CliCommand::Inspect) {
        ValueOption(app, "--timeout", raw.Timeouts, "S",
                    "seconds to wait for a device's identification answers (default 5). The link "
                    "closes a device that sends nothing for about 5 s (1000 ticks of 5 ms) whatever "
                    "--timeout says, so a longer --timeout cannot help a silent device");
        ValueOption(app, "--log", raw.Logs, "FILE", "the log file instead of the default");
    }
    if (devices)
        ValueOption(app, "--report", raw.Reports, "FILE.json|FILE.csv",
                    "one record per device, JSON or CSV by the extension, written also when "
                    "interrupted: how it ended in words and why, the flash (untouched, incomplete, "
                    "updated), pages sent and acknowledged, the firmware given, every attempt, the "
                    "configuration's fingerprint, the wave, and the run (tool version, command line, start, "
                    "end, exit code, stop signal, host, user, waves, failure limit)");
    if (devices || command == CliCommand::Scan)
        Flag(app, "--replace", raw.Replace,
             std::string("replace the ") + (devices ? "--report" : "--write-list") +
                 " file when it exists (without it the tool refuses before it connects to anything)");
    if (update) {
        ValueOption(app, "--progress-every", raw.ProgressEvery, "N",
                    "a progress line or event every N pages (default 16); on a terminal the live "
                    "line per device shows every page and the time left");
        ValueOption(app, "--retries", raw.Retries, "N",
                    "after a failed connection, no answer, a link loss or an error reply, connect again "
                    "and run the whole update again, up to N more times, 0 to 100. An attempt that fails "
                    "exactly as the one before (the same error reply or link loss at the same page) is "
                    "not tried again; a failed connection is, up to N times. Never retried: the rules "
                    "(OEM id, serial), the configuration and the image");
        ValueOption(app, "--jobs", raw.Jobs, "N", "at most N devices programmed at once (default: all)");
        ValueOption(app, "--waves", raw.Waves, "LIST",
                    "roll out in waves: cumulative sizes, counts or percentages of the run's devices in list "
                    "order, e.g. 1,10%,100% (one device alone, then up to a tenth, then the rest); a wave "
                    "begins once every device of the one before has ended. Without --max-failed a wave "
                    "that ends with a failure holds the rest");
        ValueOption(app, "--canary", raw.Canaries, "N", "the same as --waves N,100%");
        ValueOption(app, "--max-failed", raw.MaxFailed, "N|P%",
                    "once more devices have failed than N (or than P% of the devices that have ended), no "
                    "further device begins programming: those being programmed finish, the others end held "
                    "(exit 10), untouched. Failures: failed updates, no connection, an unusable "
                    "configuration or image; not the OEM or serial rule");
        ValueOption(app, "--config-for", raw.ConfigFor, "VERSION=FILE.cfg",
                    "the configuration of the devices that report VERSION (as info shows it, e.g. "
                    "HWV=1.4=fw14.cfg); may repeat. A device without a configuration of its own takes its "
                    "version's, else --config; with neither it is skipped, untouched (exit 0)");
        ValueOption(app, "--only-version", raw.OnlyVersion, "VERSION",
                    "update only the devices that report VERSION (HWV=1.4); the others are skipped, "
                    "untouched");
    }
    Flag(app, "--version", raw.Version, "print the program's version");
}

const char* const kHelpIntro =
    "Updates the firmware of networked DSP devices without the window: the same identification, the same\n"
    "rules and the same programming sequence, byte for byte, as the window.\n\n"
    "commands: info, inspect, update, scan; help (this text; also --help, and after a command that\n"
    "command's options); --version prints the program's version (also after any command).";

// The stop signals and the log, whose folder is this platform's.
std::string LogHelp() {
    return "Ctrl-C (SIGINT), a hang-up (SIGHUP: the terminal or the SSH session went away) and SIGTERM stop\n"
           "every update between two pages (a second one ends the tool at once); the device's flash is then\n"
           "incomplete and the result is never OK, even where every device had finished.\n\n"
           "The diagnostic log goes to fwupdate-cli.log beside the program (when installed, or when that\n"
           "folder cannot be written: " +
           StateFolderText("fwupdate") +
           "),\n"
           "to $FWUPDATE_LOG, or to --log FILE. Each run adds a header line and its own lines, each beginning\n"
           "with the device (HOST:PORT) it is about. Once the file passes 10 MiB it becomes fwupdate-cli-1.log\n"
           "(older ones -2 and -3; the oldest goes) and a new file begins.\n\n";
}

const char* const kHelpFooter =
    R"(exit codes:
  0    success (info: the device answered; inspect: the file is valid; update: every device OK)
  1    unexpected failure of the tool
  2    usage error
  3    configuration file not readable or not valid ("Error on reading config file")
  4    no connection, or no answer within the time-out ("No connection")
  5    OEM rule ("Online 19 Devices can be updated")
  6    serial rule ("Update not allowed: Serial")
  7    image not found ("binary - File not found")
  8    invalid binary: checksum differs ("invalid binary"), or the image is too large
  9    update failed: link lost or error reply ("Firmwareupdate ERROR")
  10   held: the rollout stopped before the device began (--waves, --max-failed); nothing was written
  129  interrupted by a hang-up (SIGHUP)
  130  interrupted by Ctrl-C (SIGINT)
  143  interrupted by SIGTERM
  With several devices the highest code of all devices is the exit code; the output names each
  device's outcome.
)";

void Format(CLI::App& app) {
    app.get_formatter()->column_width(30);
    app.get_formatter()->label("OPTIONS", "options");
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->label("Subcommands", "Commands");
}

const CommandInfo* FindCommand(const std::string& name) {
    for (const CommandInfo& c : kCommands)
        if (name == c.Name)
            return &c;
    return nullptr;
}

std::string CommandHelp(const CommandInfo& c) {
    RawArgs raw;
    CLI::App app(c.Description, std::string("fwupdate-cli ") + c.Name);
    Format(app);
    DefineCommand(app, c.Command, raw);
    app.footer("fwupdate-cli --help also shows the other commands and the exit codes.\n");
    return app.help();
}

// "--device --config x": CLI11 would take "--config" for the device. An option name given without
// its value, followed by something that reads as an option, is refused naming both.
std::string ValueMissingBeforeOption(const CLI::App& app, const std::vector<std::string>& args) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--")
            break;
        if (name.size() < 2 || name[0] != '-' || name.find('=') != std::string::npos)
            continue;
        if (name[1] != '-' && name.size() != 2)
            continue; // -dHOST: the value is attached
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option == nullptr || option->get_items_expected_min() == 0)
            continue;
        const std::string& next = args[i + 1];
        if (next.size() > 1 && next[0] == '-' && !std::isdigit(static_cast<unsigned char>(next[1])))
            return name + " needs a value (before " + next + ")";
    }
    return {};
}

// A file name with the platform's own separator (C:/fw/a.cfg -> C:\fw\a.cfg on Windows), so that the
// report, the lines and the log name files as the operator's system writes them.
std::string NativePath(const std::string& name) {
    return name.empty() ? name : PathToUtf8(PathFromUtf8(name).make_preferred());
}

// A version as a device reports it: "HWV=1.4", or "1.4" for it; nothing when the text is none.
std::optional<std::string> DeviceVersion(std::string text) {
    if (text.rfind("HWV=", 0) == 0)
        text = text.substr(4);
    const size_t dot = text.find('.');
    long high = 0, low = 0;
    if (dot == std::string::npos || !ParseInt(text.substr(0, dot), 0, 65535, high) ||
        !ParseInt(text.substr(dot + 1), 0, 65535, low))
        return std::nullopt;
    return "HWV=" + std::to_string(high) + "." + std::to_string(low);
}

// The rollout's options: --waves or --canary, --max-failed, --config-for, --only-version.
std::string ConvertRollout(const RawArgs& raw, CliOptions& o) {
    std::string why;
    if (raw.Waves.size() + raw.Canaries.size() > 1)
        return raw.Waves.empty() || raw.Canaries.empty() ? "--waves given twice (or --canary)"
                                                         : "--waves and --canary: give one of them";
    if (!raw.Waves.empty()) {
        o.Waves = ParseWaves(raw.Waves[0], why);
        if (o.Waves.empty())
            return "--waves " + why;
    }
    if (!raw.Canaries.empty()) {
        long n = 0;
        if (!ParseInt(raw.Canaries[0], 1, 1000000, n))
            return "--canary needs a number of devices, at least 1";
        o.Waves = {{n, false}, {100, true}};
    }
    if (!raw.MaxFailed.empty()) {
        if (raw.MaxFailed.size() > 1)
            return "--max-failed given twice";
        o.MaxFailed = ParseFailureLimit(raw.MaxFailed[0], why);
        if (!o.MaxFailed)
            return "--max-failed " + why;
    }
    for (const std::string& value : raw.ConfigFor) {
        // The version's own "HWV=" may stand before it: the file follows the version's numbers.
        const size_t from = value.rfind("HWV=", 0) == 0 ? 4 : 0;
        const size_t eq = value.find('=', from);
        const std::optional<std::string> version =
            eq == std::string::npos ? std::nullopt : DeviceVersion(value.substr(0, eq));
        if (!version || eq + 1 >= value.size())
            return "--config-for " + value + ": give VERSION=FILE.cfg, the version as a device reports it "
                   "(HWV=1.4=fw.cfg)";
        if (!o.ConfigFor.emplace(*version, NativePath(value.substr(eq + 1))).second)
            return "--config-for " + *version + " given twice";
    }
    if (!raw.OnlyVersion.empty()) {
        const std::optional<std::string> version =
            raw.OnlyVersion.size() == 1 ? DeviceVersion(raw.OnlyVersion[0]) : std::nullopt;
        if (!version)
            return "--only-version needs one version as a device reports it (HWV=1.4)";
        o.OnlyVersion = *version;
    }
    return {};
}

// Checks and converts what CLI11 collected; the text of the first fault, or empty.
std::string Convert(const RawArgs& raw, const std::string& commandName, CliOptions& o) {
    const bool update = o.Command == CliCommand::Update;
    for (const std::string& value : raw.Devices) {
        DeviceTarget target;
        std::string error;
        if (!ParseDeviceTarget(value, update, target, error))
            return "--device " + error;
        target.Config = NativePath(target.Config);
        o.Devices.push_back(target);
    }
    for (const std::string& value : raw.Configs) {
        if (value.empty())
            return "--config needs a file";
        if (!o.Config.empty())
            return "--config given twice (use --device HOST=FILE.cfg for a configuration per device)";
        o.Config = NativePath(value);
    }
    o.Admin = raw.Admin;
    o.DryRun = raw.DryRun;
    o.Json = raw.Json;
    if (!raw.Timeouts.empty() && (raw.Timeouts.size() > 1 || !ParseSeconds(raw.Timeouts[0], o.Timeout)))
        return "--timeout needs one number of seconds, more than 0 and at most 3600";
    long n = 0;
    if (!raw.ProgressEvery.empty()) {
        if (raw.ProgressEvery.size() > 1 || !ParseInt(raw.ProgressEvery[0], 1, kMaxProgressEvery, n))
            return "--progress-every needs one number of pages, at least 1";
        o.ProgressEvery = static_cast<int>(n);
    }
    if (!raw.Retries.empty()) {
        if (raw.Retries.size() > 1 || !ParseInt(raw.Retries[0], 0, kMaxRetries, n))
            return "--retries needs one number from 0 to 100";
        o.Retries = static_cast<int>(n);
    }
    if (!raw.Jobs.empty()) {
        if (raw.Jobs.size() > 1 || !ParseInt(raw.Jobs[0], 1, kMaxJobs, n))
            return "--jobs needs one number of devices from 1 to " + std::to_string(kMaxJobs);
        o.Jobs = static_cast<int>(n);
    }
    if (std::string error = ConvertRollout(raw, o); !error.empty())
        return error;
    if (!raw.Ports.empty()) {
        if (raw.Ports.size() > 1 || !ParseInt(raw.Ports[0], 1, 65535, n))
            return "--port needs one port number from 1 to 65535";
        o.Port = static_cast<int>(n);
    }
    for (DeviceTarget& d : o.Devices)
        SetDefaultPort(d, o.Port);
    // The file options: one non-empty name each.
    const std::pair<const char*, const std::vector<std::string>*> files[] = {
        {"--log", &raw.Logs},
        {"--report", &raw.Reports},
        {"--devices-from", &raw.DevicesFrom},
        {"--write-list", &raw.WriteLists},
        {"--redo", &raw.Redos},
        {"--redo-results", &raw.RedoResults}};
    for (const auto& [name, values] : files) {
        if (values->size() > 1)
            return std::string(name) + " given twice";
        if (!values->empty() && values->front().empty())
            return std::string(name) + " needs a file";
    }
    auto first = [](const std::vector<std::string>& v) { return v.empty() ? std::string() : v.front(); };
    o.LogFile = NativePath(first(raw.Logs));
    o.ReportFile = NativePath(first(raw.Reports));
    o.DevicesFrom = NativePath(first(raw.DevicesFrom));
    o.WriteList = NativePath(first(raw.WriteLists));
    o.Redo = NativePath(first(raw.Redos));
    o.Replace = raw.Replace;
    if (!raw.RedoResults.empty()) {
        if (o.Redo.empty())
            return "--redo-results needs --redo REPORT";
        std::string why;
        const std::optional<RedoChoice> which = ParseRedoChoice(raw.RedoResults[0], why);
        if (!which)
            return "--redo-results " + why;
        o.RedoWhich = *which;
    }
    if (!o.Redo.empty() && !ReportFormatFor(o.Redo))
        return "--redo " + o.Redo + ": a report's name ends in .json or .csv";
    if (!o.ReportFile.empty() && !ReportFormatFor(o.ReportFile))
        return "--report " + o.ReportFile +
               ": the name must end in .json or .csv (that is the format written)";

    if (o.Command == CliCommand::Inspect) {
        if (raw.Positionals.size() != 1)
            return raw.Positionals.empty() ? "inspect needs a configuration file"
                                           : "inspect takes one configuration file";
        o.Config = NativePath(raw.Positionals[0]);
        return {};
    }
    if (o.Command == CliCommand::Scan) {
        if (raw.Positionals.size() != 1)
            return raw.Positionals.empty() ? "scan needs an address range (A.B.C.D/NN or A.B.C.D-E)"
                                           : "scan takes one address range";
        o.ScanRange = raw.Positionals[0];
        // The range's addresses all take one port, and --port gives it.
        if (const size_t colon = o.ScanRange.find(':'); colon != std::string::npos)
            return "scan " + o.ScanRange + ": a range takes no port; give it with --port (" +
                   o.ScanRange.substr(0, colon) + " --port " + o.ScanRange.substr(colon + 1) + ")";
        return {};
    }
    if (o.Devices.empty() && o.DevicesFrom.empty() && o.Redo.empty())
        return commandName + " needs --device HOST[:PORT] (or --devices-from FILE, or --redo REPORT)";
    const DeviceTarget* twice = RepeatedDevice(o.Devices);
    for (DeviceTarget& d : o.Devices) {
        if (&d == twice)
            return "--device " + d.Label + " given twice";
        // With configurations by version, a device without its own is given one once it has reported its
        // version (--config then for the versions without one).
        if (update && d.Config.empty() && o.ConfigFor.empty()) {
            if (o.Config.empty())
                return "update needs --config FILE.cfg (or --device HOST[:PORT]=FILE.cfg, or --config-for)";
            d.Config = o.Config;
        }
    }
    return {};
}

// --redo: the devices the report leaves to do after the others, and its other rows carried at their places.
// A row of a device also given by --device or --devices-from is not carried: this run covers it.
std::string AddRedoDevices(CliOptions& o) {
    const bool update = o.Command == CliCommand::Update;
    const ReportRead read = ReadReport(o.Redo);
    if (!read.Error.empty())
        return read.Error;
    std::set<std::string> others;
    for (const DeviceTarget& d : o.Devices)
        others.insert(DeviceKey(d));
    size_t placed = o.Devices.size();
    for (const nlohmann::ordered_json& row : read.Rows) {
        const std::string address = row.at("address").get<std::string>();
        DeviceTarget target;
        std::string error;
        if (!ParseDeviceTarget(address, false, target, error))
            return "report " + o.Redo + ": " + error;
        if (!RedoTakes(o.RedoWhich, row)) {
            if (others.count(DeviceKey(target)) == 0)
                o.Carried.push_back({placed++, row, read.Run});
            continue;
        }
        if (update) {
            const nlohmann::ordered_json config = row.value("config", nlohmann::ordered_json(nullptr));
            target.Config = config.is_string() ? config.get<std::string>() : o.ConfigFor.empty() ? o.Config : "";
            if (target.Config.empty() && o.ConfigFor.empty())
                return "report " + o.Redo + ": " + address +
                       " has no configuration in the report and no --config is given";
            // Its wave: a redo of a held rollout begins its devices in the order of their waves.
            const nlohmann::ordered_json wave = row.value("wave", nlohmann::ordered_json(nullptr));
            if (wave.is_number_integer())
                target.Wave = wave.get<int>();
        }
        if (row.value("flash", nlohmann::ordered_json(nullptr)) == kFlashIncomplete)
            o.IncompleteBefore.insert(DeviceKey(target));
        o.Devices.push_back(target);
        ++placed;
    }
    return {};
}

} // namespace

std::string AddListedDevices(CliOptions& o) {
    const bool update = o.Command == CliCommand::Update;
    if (!o.DevicesFrom.empty()) {
        DeviceListRead read = ReadDeviceList(o.DevicesFrom, update);
        if (read.IsReport)
            return read.Error + ": use --redo " + o.DevicesFrom +
                   " (it takes the devices the report left to do)";
        if (!read.Error.empty())
            return read.Error;
        if (read.Devices.empty() && o.Devices.empty())
            return "device list " + o.DevicesFrom + ": no device in it";
        for (DeviceTarget& d : read.Devices) {
            SetDefaultPort(d, o.Port);
            d.Config = NativePath(d.Config);
            if (update && d.Config.empty() && o.ConfigFor.empty()) {
                if (o.Config.empty())
                    return "device list " + o.DevicesFrom + ": " + d.Label +
                           " has no configuration (HOST[:PORT]=FILE.cfg) and no --config is given";
                d.Config = o.Config;
            }
            o.Devices.push_back(d);
        }
    }
    if (!o.Redo.empty()) {
        if (std::string error = AddRedoDevices(o); !error.empty())
            return error;
        if (o.Devices.empty())
            return "report " + o.Redo + ": no device left to do";
    }
    if (const DeviceTarget* twice = RepeatedDevice(o.Devices))
        return "device " + twice->Label + " given twice";
    return {};
}

std::string CheckReplace(const CliOptions& o) {
    for (const auto& [name, path] :
         {std::pair<const char*, const std::string&>{"--report", o.ReportFile},
          std::pair<const char*, const std::string&>{"--write-list", o.WriteList}}) {
        std::error_code ec;
        if (path.empty() || o.Replace || !std::filesystem::exists(PathFromUtf8(path), ec))
            continue;
        return std::string(name) + " " + path +
               " exists already: give --replace to replace it, or another name";
    }
    return {};
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    CliOptions& o = parsed.Options;
    std::string& error = parsed.Error;
    if (args.empty()) {
        error = "no command given";
        return parsed;
    }
    const std::string& command = args[0];
    if (command == "help" || command == "--help" || command == "-h") {
        o.Command = CliCommand::Help;
        const CommandInfo* topic = args.size() > 1 ? FindCommand(args[1]) : nullptr;
        parsed.Help = topic != nullptr ? CommandHelp(*topic) : HelpText();
        return parsed;
    }
    if (command == "--version") {
        o.Command = CliCommand::Version;
        return parsed;
    }
    const CommandInfo* info = FindCommand(command);
    if (info == nullptr) {
        error = "unknown command '" + command + "'";
        return parsed;
    }
    o.Command = info->Command;

    RawArgs raw;
    CLI::App app(info->Description, "fwupdate-cli " + command);
    Format(app);
    DefineCommand(app, info->Command, raw);
    app.allow_extras();
    // The window's single-dash -admin is taken as --admin.
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (info->Command == CliCommand::Update)
        std::replace(rest.begin(), rest.end(), std::string("-admin"), std::string("--admin"));
    error = ValueMissingBeforeOption(app, rest);
    if (!error.empty())
        return parsed;
    std::vector<std::string> reversed(rest.rbegin(), rest.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o = CliOptions{};
        o.Command = CliCommand::Help;
        parsed.Help = CommandHelp(*info);
        return parsed;
    } catch (const CLI::ArgumentMismatch& e) {
        // "NAME: 1 required TYPE missing", or a value given to a flag.
        const std::string what = e.what();
        const std::string name = what.substr(0, what.find(':'));
        if (what.find("flag override") != std::string::npos)
            error = "--" + what.substr(0, what.find(' ')) + " takes no value";
        else
            error = name + " needs a value";
        return parsed;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return parsed;
    }
    if (raw.Version) {
        o = CliOptions{};
        o.Command = CliCommand::Version;
        return parsed;
    }
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
        const std::string& x = extras.front();
        if (x.size() > 1 && x[0] == '-')
            error = "unknown option '" + x.substr(0, x.find('=')) + "' for " + command;
        else
            error = "unexpected argument '" + x + "'";
        return parsed;
    }
    error = Convert(raw, command, o);
    return parsed;
}

std::string HelpText() {
    RawArgs raw;
    CLI::App app(kHelpIntro, "fwupdate-cli");
    Format(app);
    app.set_help_flag("-h,--help", "this text");
    app.add_flag("--version", raw.Version, "print the program's version");
    for (const CommandInfo& c : kCommands)
        DefineCommand(*app.add_subcommand(c.Name, c.Description), c.Command, raw);
    app.footer(LogHelp() + kHelpFooter);
    return app.help("", CLI::AppFormatMode::All);
}
