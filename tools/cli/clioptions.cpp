// Parsing of fwupdate-cli's command line and its help text.
#include "tools/cli/clioptions.h"

#include "link/sockets.h"


#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace {

constexpr int kDefaultPort = 2000;
constexpr double kMaxTimeoutSeconds = 3600;
constexpr int kMaxProgressEvery = 1000000;

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

// The link manager keeps one device per dotted address (a second port on the same address would
// reach the first device again), and host names by their text.
std::string AddressKey(const std::string& host) {
    // The link's own reading of a dotted address, so that both agree on what is one device.
    const uint32_t ip = SockDottedIp(host);
    if (ip != 0xFFFFFFFF)
        return "ip:" + std::to_string(ip);
    return "name:" + host;
}

} // namespace

bool ParseDeviceTarget(const std::string& text, bool allowConfig, DeviceTarget& target, std::string& error) {
    target = DeviceTarget{};
    std::string address = text;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) {
        if (!allowConfig) {
            error = "--device " + text + ": a configuration per device (=FILE.cfg) belongs to update";
            return false;
        }
        address = text.substr(0, eq);
        target.Config = text.substr(eq + 1);
        if (target.Config.empty()) {
            error = "--device " + text + ": no configuration file after '='";
            return false;
        }
    }
    const size_t colon = address.rfind(':');
    target.Host = address.substr(0, colon);
    target.Port = kDefaultPort;
    if (colon != std::string::npos) {
        long port = 0;
        if (!ParseInt(address.substr(colon + 1), 1, 65535, port)) {
            error = "--device " + text + ": the port must be a number from 1 to 65535";
            return false;
        }
        target.Port = static_cast<int>(port);
    }
    if (target.Host.empty()) {
        error = "--device " + text + ": no host";
        return false;
    }
    target.Label = target.Host + ":" + std::to_string(target.Port);
    return true;
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
        return parsed;
    }
    if (command == "--version") {
        o.Command = CliCommand::Version;
        return parsed;
    }
    if (command == "info")
        o.Command = CliCommand::Info;
    else if (command == "inspect")
        o.Command = CliCommand::Inspect;
    else if (command == "update")
        o.Command = CliCommand::Update;
    else {
        error = "unknown command '" + command + "'";
        return parsed;
    }

    const bool update = o.Command == CliCommand::Update;
    const bool devices = o.Command != CliCommand::Inspect;
    std::vector<std::string> files;
    bool timeoutGiven = false, everyGiven = false;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (name.rfind("--", 0) == 0) {
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                hasValue = true;
            }
        } else if (name.rfind("-", 0) != 0 || name == "-") {
            files.push_back(name);
            continue;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto flag = [&](bool& target) -> bool {
            if (hasValue) {
                error = name + " takes no value";
                return false;
            }
            target = true;
            return true;
        };

        if (name == "--help" || name == "-h" || name == "--version") {
            o.Command = name == "--version" ? CliCommand::Version : CliCommand::Help;
            error.clear();
            return parsed;
        } else if (name == "--device" && devices) {
            if (!takeValue())
                return parsed;
            DeviceTarget target;
            if (!ParseDeviceTarget(value, update, target, error))
                return parsed;
            o.Devices.push_back(target);
        } else if (name == "--config" && update) {
            if (!takeValue())
                return parsed;
            if (value.empty()) {
                error = "--config needs a file";
                return parsed;
            }
            if (!o.Config.empty()) {
                error = "--config given twice (use --device HOST=FILE.cfg for a configuration per device)";
                return parsed;
            }
            o.Config = value;
        } else if ((name == "--admin" || name == "-admin") && update) { // -admin: as the window takes it
            if (!flag(o.Admin))
                return parsed;
        } else if (name == "--dry-run" && update) {
            if (!flag(o.DryRun))
                return parsed;
        } else if (name == "--json") {
            if (!flag(o.Json))
                return parsed;
        } else if (name == "--timeout" && devices) {
            if (!takeValue())
                return parsed;
            if (timeoutGiven || !ParseSeconds(value, o.Timeout)) {
                error = "--timeout needs one number of seconds, more than 0 and at most 3600";
                return parsed;
            }
            timeoutGiven = true;
        } else if (name == "--progress-every" && update) {
            if (!takeValue())
                return parsed;
            long every = 0;
            if (everyGiven || !ParseInt(value, 1, kMaxProgressEvery, every)) {
                error = "--progress-every needs one number of pages, at least 1";
                return parsed;
            }
            o.ProgressEvery = static_cast<int>(every);
            everyGiven = true;
        } else {
            error = "unknown option '" + name + "' for " + command;
            return parsed;
        }
    }

    if (o.Command == CliCommand::Inspect) {
        if (files.size() != 1) {
            error =
                files.empty() ? "inspect needs a configuration file" : "inspect takes one configuration file";
            return parsed;
        }
        o.Config = files[0];
        return parsed;
    }
    if (!files.empty()) {
        error = "unexpected argument '" + files[0] + "'";
        return parsed;
    }
    if (o.Devices.empty()) {
        error = command + " needs --device HOST[:PORT]";
        return parsed;
    }
    std::set<std::string> seen;
    for (DeviceTarget& d : o.Devices) {
        if (!seen.insert(AddressKey(d.Host)).second) {
            error = "--device " + d.Host + " given twice: one device per address";
            return parsed;
        }
        if (update && d.Config.empty()) {
            if (o.Config.empty()) {
                error = "update needs --config FILE.cfg (or --device HOST[:PORT]=FILE.cfg)";
                return parsed;
            }
            d.Config = o.Config;
        }
    }
    return parsed;
}

std::string HelpText() {
    return R"(usage: fwupdate-cli <command> [options]

Updates the firmware of networked DSP devices without the window: the same identification, the same
rules and the same programming sequence, byte for byte, as the window.

commands:
  info --device HOST[:PORT] [--timeout S] [--json]
        connect, ask the device who it is (nine reads) and print the answers: OEM id with its list
        text, version (HWV=), serial number, mode and the four texts
  inspect FILE.cfg [--json]
        decipher a firmware configuration file and print its fields and whether it is valid;
        no device is involved
  update --device HOST[:PORT] --config FILE.cfg [--admin] [--dry-run] [--json]
        [--timeout S] [--progress-every N]
        identify the device, check the rules (device answered; OEM id 19 unless --admin; the serial
        number a configuration may be bound to; the image, named by the configuration and looked for
        in the configuration file's folder, exists, matches its checksum and fits the page
        addressing), then program the flash page by page
  help  this text (also --help after any command)
  --version
        print the program's version (also after any command)

options:
  --device HOST[:PORT]   a device (port 2000 when none is given). Repeat it to update several
                         devices in parallel, each with its own identification and result.
                         update also takes HOST[:PORT]=FILE.cfg: this device's own configuration.
  --config FILE.cfg      the firmware configuration for every --device without its own
  --admin                administrator mode: lifts the OEM rule (the window's -admin works too)
  --dry-run              every check, then print what would be written (objects, pages, name,
                         version, revision) and send nothing: the device receives only the nine
                         identification reads that the rules need (and the link's keep-alive
                         read), never a write
  --json                 JSON Lines on standard output instead of text, one event per line:
                         connected, identified, refused (with reason), plan (--dry-run), started,
                         progress (every N pages), done (one per device, the last event of
                         each device, with its exit code), interrupted (with the signal), and
                         last summary (results counted per result, devices, exit code, seconds).
                         Every event starts with "event" and "time" (UTC, in milliseconds:
                         2026-12-08T07:45:12.345Z)
  --timeout S            seconds to wait for a device's answers (default 5)
  --progress-every N     a progress line or event every N pages (default 16); on a terminal the
                         live line per device shows every page and the time left

Ctrl-C (SIGINT), a hang-up (SIGHUP: the terminal or the SSH session went away) and SIGTERM stop
every update between two pages (a second one ends the tool at once); the device's flash is then
incomplete and the result is never OK, even where every device had finished. The diagnostic log is written as the window
writes it, to fwupdate-cli.log beside the program (when installed from the package:
$XDG_STATE_HOME/fwupdate/, by default ~/.local/state/fwupdate/), or to $FWUPDATE_LOG.

exit codes:
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
  129  interrupted by a hang-up (SIGHUP)
  130  interrupted by Ctrl-C (SIGINT)
  143  interrupted by SIGTERM
  With several devices the highest code of all devices is the exit code; the output names each
  device's outcome.
)";
}
