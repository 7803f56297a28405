// The commands of fwupdate-cli: info and update run the devices of the command line as a fleet run,
// scan scans a range, inspect reads a configuration file; Ctrl-C, a hang-up or SIGTERM stops the devices
// between pages.
#include "tools/cli/clicommands.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "base/buildinfo.h"
#include "base/log.h"
#include "base/platform.h"
#include "fleet/firmwarecheck.h"
#include "fleet/fleetrun.h"
#include "tools/cli/cliobservers.h"
#include "tools/cli/clioptions.h"
#include "tools/cli/clioutput.h"
#include "tools/cli/cliscan.h"
#include "tools/cli/jsonline.h"
#include "tools/cli/stopsignal.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"

namespace {

// Full logs kept besides the current one (fwupdate-cli-1.log to -3.log, as the help says).
constexpr int kCliOldLogs = 3;

// Files the tool holds beside one socket per device: the standard streams, the link's wake-up and
// poller, the configuration and image being read, the log, and what the runtime keeps open.
constexpr int64_t kFilesBeside = 32;

std::string NumberText(int32_t value) {
    if (value == kNullInt)
        return std::to_string(value) + " (absent)";
    return std::to_string(value);
}

// The command line as a POSIX shell would take it back: a word with anything but plain characters in
// single quotes.
std::string CommandLineText(const std::vector<std::string>& args) {
    std::string text = "fwupdate-cli";
    for (const std::string& a : args) {
        const bool plain =
            !a.empty() && a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789_./:=,@%+-") == std::string::npos;
        if (plain) {
            text += " " + a;
            continue;
        }
        text += " '";
        for (const char c : a)
            text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        text += "'";
    }
    return text;
}

int RunInspect(const CliOptions& o) {
    CliOutput out(CliOutput::ModeFor(stdout, o.Json), stdout, 0);
    const std::string& path = o.Config;
    const FirmwareCheck check = CheckFirmware(path);
    const FwConfig& c = check.Config;
    const bool readable = check.Readable, valid = check.Valid, matches = check.ChecksumMatches;
    const std::string& image = check.Image;
    const int code = check.Code;
    const std::string& reason = check.Reason;

    const std::pair<const char*, int32_t> numbers[] = {
        {"DSPVersion", c.DSPVersion},
        {"Inputs", c.Inputs},
        {"Outputs", c.Outputs},
        {"Seriennummer", c.Seriennummer},
        {"UseSeriennummer", c.UseSeriennummer},
        {"Checksum", c.Checksum},
        {"FwVersion", c.FwVersion},
        {"FwRevision", c.FwRevision},
        {"Q7Type", c.Q7Type},
        {"EnableMicInput1", c.EnableMicInput1},
        {"EnableAES1", c.EnableAES1},
        {"EnableAES2", c.EnableAES2},
        {"EnableFIR", c.EnableFIR},
        {"EnableEthernet", c.EnableEthernet},
    };

    if (out.Json()) {
        JsonLine j("config");
        j.Text("file", path).Bool("readable", readable).Bool("valid", valid).Int("code", code);
        if (code != kExitOk)
            j.Text("reason", reason);
        if (readable) {
            nlohmann::ordered_json fields{{"Filename", c.Filename}};
            for (const auto& [name, value] : numbers)
                fields[name] = value;
            j.Value("fields", std::move(fields));
            nlohmann::ordered_json i{{"path", image}, {"found", check.ImageFound}};
            if (check.ImageFound) {
                i["bytes"] = check.ImageBytes;
                i["pages"] = PageCount(check.ImageBytes);
                i["tooLarge"] = check.TooLarge;
                i["checksumMatches"] = matches;
            }
            j.Value("image", std::move(i));
        }
        if (check.Fingerprint.empty())
            j.Null("fingerprint");
        else
            j.Text("fingerprint", check.Fingerprint);
        out.Event(j.Str());
        return code;
    }
    if (!readable) {
        out.Line(reason);
        return code;
    }
    out.Line(path +
             (valid ? ": valid" : ": not valid (Error on reading config file); the fields as far as read:"));
    out.Line("  Filename:         " + c.Filename);
    for (const auto& [name, value] : numbers) {
        std::string line = "  " + std::string(name) + ":";
        line.resize(20, ' ');
        line += NumberText(value);
        if (std::string(name) == "Checksum") {
            char hex[16];
            std::snprintf(hex, sizeof hex, " (0x%08X)", static_cast<uint32_t>(value));
            line += hex;
        }
        if (std::string(name) == "UseSeriennummer")
            line += value != 0 ? " (bound to Seriennummer " + std::to_string(c.Seriennummer) + ")"
                               : " (any device)";
        out.Line(line);
    }
    std::string img = "  image:            " + image;
    if (!valid)
        img += ": not checked, the configuration is not valid";
    else if (check.Read == ImageRead::NotFound)
        img += ": not found";
    else if (check.Read == ImageRead::Unreadable)
        img += ": cannot be read (" + check.ImageProblem + ")";
    else if (check.TooLarge)
        img += ": " + std::to_string(check.ImageBytes) + " bytes, more than the page addressing reaches";
    else
        img += ": " + std::to_string(check.ImageBytes) + " bytes, " +
               std::to_string(PageCount(check.ImageBytes)) + " pages, " +
               (matches ? "checksum matches" : "checksum differs (invalid binary)");
    out.Line(img);
    if (code != kExitOk)
        out.Line(reason);
    return code;
}

// Runs the devices of the command line to their end while the stop signals stop them: the first one stops
// every device between pages, a second one ends the tool at once, with every device's last line, the summary
// and the report written first.
int RunDevices(const CliOptions& o, const std::string& commandLine) {
    const int n = static_cast<int>(o.Devices.size());
    // Said before the first connection: a fleet that runs out of files half-way fails device by device.
    if (const int64_t limit = RaiseOpenFileLimit(); limit != 0 && n + kFilesBeside > limit) {
        std::fprintf(stderr,
                     "fwupdate-cli: cannot hold %d devices: the system lets this process open %lld files, "
                     "one per device and %lld beside (raise the limit with ulimit -n)\n",
                     n, static_cast<long long>(limit), static_cast<long long>(kFilesBeside));
        return kExitInternal;
    }
    CliOutput out(CliOutput::ModeFor(stdout, o.Json), stdout, n);
    const bool update = o.Command == CliCommand::Update;
    RunSettings settings;
    settings.Task = update ? FleetTask::Update : FleetTask::Identify;
    settings.Config = o.Config;
    settings.Timeout = o.Timeout;
    settings.Admin = o.Admin;
    settings.DryRun = o.DryRun;
    settings.Retries = o.Retries;
    settings.Jobs = o.Jobs;
    settings.Waves = o.Waves;
    settings.MaxFailed = o.MaxFailed;
    settings.ConfigFor = o.ConfigFor;
    settings.OnlyVersion = o.OnlyVersion;
    settings.ReportPath = o.ReportFile;
    settings.Run.Tool = "fwupdate-cli";
    settings.Run.Version = kFwUpdateVersion;
    settings.Run.CommandLine = commandLine;
    settings.Run.Host = HostName();
    settings.Run.User = LoginName();
    settings.Carried = o.Carried;
    settings.IncompleteBefore = o.IncompleteBefore;
    settings.LogPath = BeginRunLog(o);
    settings.ProgressBetweenPages = out.Terminal();
    CliObservers observers(out, {o.Command, o.DryRun, o.ProgressEvery}, n);
    FleetRun run(o.Devices, settings, observers);

    int stopped = 0;
    auto lookAtStopSignals = [&] {
        if (stopped == 0 && StopSignal() != 0) {
            stopped = StopSignal();
            LogLine(
                "fwupdate-cli: " +
                InterruptedText(stopped, "stopping every update between pages (a second one quits at once)"));
            run.Stop({ExitCodeForSignal(stopped), stopped});
        }
        if (StopSignals() >= 2) {
            // At once, yet not without every device's last line, the summary and the report.
            const int code = run.EndNow({ExitCodeForSignal(stopped), stopped});
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(code);
        }
    };
    if (const std::string error = RunWhileSignalsAllow(run, lookAtStopSignals); !error.empty()) {
        std::fprintf(stderr, "fwupdate-cli: --report: %s\n", error.c_str());
        return kExitUsage;
    }
    return run.Code();
}

} // namespace

std::string BeginRunLog(const CliOptions& o) {
    // The lines an earlier run's "see the log" points to stay for the next runs.
    TheLog().KeepOldLogs(kCliOldLogs);
    if (!o.LogFile.empty())
        TheLog().SetPath(PathFromUtf8(o.LogFile));
    TheLog().Begin();
    return PathToUtf8(TheLog().Path());
}

int RunCli(const std::vector<std::string>& args) {
    // A reader that goes away (a closed pipe) must not kill an update half-way.
    IgnoreBrokenPipe();
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.Error.empty()) {
        std::fprintf(stderr, "fwupdate-cli: %s\nfwupdate-cli --help shows the commands and options\n",
                     parsed.Error.c_str());
        return kExitUsage;
    }
    try {
        switch (parsed.Options.Command) {
        case CliCommand::Help:
            std::fputs((parsed.Help.empty() ? HelpText() : parsed.Help).c_str(), stdout);
            return kExitOk;
        case CliCommand::Version:
            std::printf("fwupdate-cli %s\n", kFwUpdateVersion);
            return kExitOk;
        case CliCommand::Inspect:
            return RunInspect(parsed.Options);
        case CliCommand::Info:
        case CliCommand::Update: {
            // From here on a stop signal ends the run in order, whenever it comes.
            CatchStopSignals(2);
            CliOptions options = parsed.Options;
            std::string error = AddListedDevices(options);
            if (error.empty())
                error = CheckReplace(options);
            if (!error.empty()) {
                std::fprintf(stderr, "fwupdate-cli: %s\n", error.c_str());
                return kExitUsage;
            }
            return RunDevices(options, CommandLineText(args));
        }
        case CliCommand::Scan:
            if (const std::string error = CheckReplace(parsed.Options); !error.empty()) {
                std::fprintf(stderr, "fwupdate-cli: %s\n", error.c_str());
                return kExitUsage;
            }
            CatchStopSignals(1);
            return RunScan(parsed.Options);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwupdate-cli: %s\n", e.what());
    }
    return kExitInternal;
}
