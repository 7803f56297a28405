// The commands of fwupdate-cli: info and update run one thread per device over link managers that
// hold one device of an address each,
// inspect reads a configuration file; Ctrl-C, a hang-up or SIGTERM stops the devices between pages.
#include "tools/cli/clicommands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/buildinfo.h"
#include "base/log.h"
#include "base/platform.h"
#include "link/conbase.h"
#include "tools/cli/clidevice.h"
#include "tools/cli/clioptions.h"
#include "tools/cli/clioutput.h"
#include "tools/cli/clireport.h"
#include "tools/cli/cliscan.h"
#include "tools/cli/devicelist.h"
#include "tools/cli/jobslots.h"
#include "tools/cli/jsonline.h"
#include "tools/cli/linkgroups.h"
#include "tools/cli/linkwaiter.h"
#include "tools/cli/refusaltext.h"
#include "tools/cli/stopsignal.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"
#include "update/updatestart.h"

namespace {

// Files the tool holds beside one socket per device: the standard streams, the link's wake-up and
// poller, the configuration and image being read, the log, and what the runtime keeps open.
constexpr int64_t kFilesBeside = 32;

std::string NumberText(int32_t value) {
    if (value == kNullInt)
        return std::to_string(value) + " (absent)";
    return std::to_string(value);
}

int RunInspect(const CliOptions& o) {
    CliOutput out(CliOutput::ModeFor(stdout, o.Json), stdout, 0);
    const std::string& path = o.Config;
    std::error_code ec;
    const bool readable = std::filesystem::is_regular_file(path, ec) &&
                          std::filesystem::file_size(path, ec) > 0 && !ec &&
                          std::ifstream(path, std::ios::binary).good();
    FwConfig c;
    const bool valid = readable && c.Load(path) == 0;

    // The image the configuration names, looked for in the configuration file's folder and read as
    // update reads it. A configuration that is not valid names no image to judge.
    const std::string image = ImagePathFor(path, c.Filename);
    std::vector<uint8_t> bytes;
    std::string imageProblem;
    const ImageRead read = valid ? ReadImage(image, bytes, &imageProblem) : ImageRead::NotFound;
    const bool tooLarge = valid && read == ImageRead::TooLarge;
    const bool imageFound = valid && (read == ImageRead::Ok || tooLarge);
    int64_t imageBytes = static_cast<int64_t>(bytes.size());
    if (tooLarge)
        imageBytes = static_cast<int64_t>(std::filesystem::file_size(image, ec));
    const int32_t imageChecksum = ImageChecksum(bytes.data(), bytes.size());
    const bool matches = read == ImageRead::Ok && imageChecksum == c.Checksum;

    // The code update would end with for this configuration and image.
    int code = kExitOk;
    std::string reason;
    if (!valid) {
        code = kExitBadConfig;
        reason = ConfigErrorText(path);
    } else if (read == ImageRead::NotFound) {
        code = kExitImageNotFound;
        reason = ImageNotFoundText(image);
    } else if (read == ImageRead::Unreadable) {
        code = kExitImageNotFound;
        reason = ImageUnreadableText(image, imageProblem);
    } else if (tooLarge) {
        code = kExitInvalidImage;
        reason = ImageTooLargeText(image);
    } else if (!matches) {
        code = kExitInvalidImage;
        reason = ChecksumDiffersText(image);
    }

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
            nlohmann::ordered_json i{{"path", image}, {"found", imageFound}};
            if (imageFound) {
                i["bytes"] = imageBytes;
                i["pages"] = PageCount(imageBytes);
                i["tooLarge"] = tooLarge;
                i["checksumMatches"] = matches;
            }
            j.Value("image", std::move(i));
        }
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
    else if (read == ImageRead::NotFound)
        img += ": not found";
    else if (read == ImageRead::Unreadable)
        img += ": cannot be read (" + imageProblem + ")";
    else if (tooLarge)
        img += ": " + std::to_string(imageBytes) + " bytes, more than the page addressing reaches";
    else
        img += ": " + std::to_string(imageBytes) + " bytes, " + std::to_string(PageCount(imageBytes)) +
               " pages, " + (matches ? "checksum matches" : "checksum differs (invalid binary)");
    out.Line(img);
    if (code != kExitOk)
        out.Line(reason);
    return code;
}

// The run report, when one is asked for: every device's record as far as it got. Empty, or why it
// could not be written.
std::string WriteRunReport(const CliOptions& o, const std::vector<std::unique_ptr<CliDevice>>& devices) {
    if (o.ReportFile.empty())
        return {};
    std::vector<DeviceRecord> records;
    records.reserve(devices.size());
    for (const auto& d : devices)
        records.push_back(d->Record());
    return WriteReport(o.ReportFile, records);
}

int RunDevices(const CliOptions& o) {
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
    RunSettings settings;
    settings.Timeout = o.Timeout;
    settings.Admin = o.Admin;
    settings.DryRun = o.DryRun;
    settings.ProgressEvery = o.ProgressEvery;
    settings.Retries = o.Retries;
    settings.Jobs = o.Jobs;
    settings.LogPath = BeginRunLog(o);
    const bool update = o.Command == CliCommand::Update;
    const auto started = std::chrono::steady_clock::now();

    std::mutex doneLock;
    std::condition_variable doneChanged;
    int finished = 0;

    // A link manager keeps one device per address: devices behind one address get a manager each.
    const std::vector<int> groups = LinkGroups(o.Devices);
    const int managers = groups.empty() ? 0 : *std::max_element(groups.begin(), groups.end()) + 1;

    // Declared in this order so that they go in the reverse one: the devices (their workers are
    // joined by then), the turns, the receivers, and last the link managers with their threads.
    std::vector<std::unique_ptr<ConBase>> links;
    std::vector<std::unique_ptr<LinkWaiter>> waiters;
    JobSlots slots(o.Jobs);
    std::vector<std::unique_ptr<CliDevice>> devices;
    std::vector<std::thread> threads;
    {
        BlockStopSignals blocked;
        for (int m = 0; m < managers; ++m) {
            links.push_back(std::make_unique<ConBase>());
            waiters.push_back(std::make_unique<LinkWaiter>(*links.back()));
        }
        for (int i = 0; i < n; ++i) {
            const auto m = static_cast<size_t>(groups[static_cast<size_t>(i)]);
            devices.push_back(std::make_unique<CliDevice>(*links[m], *waiters[m], out,
                                                          o.Devices[static_cast<size_t>(i)], settings, i,
                                                          o.Jobs > 0 ? &slots : nullptr));
        }
        // Written before any device is touched: a report that cannot be written says so at once.
        if (const std::string error = WriteRunReport(o, devices); !error.empty()) {
            std::fprintf(stderr, "fwupdate-cli: --report: %s\n", error.c_str());
            return kExitUsage;
        }
        for (auto& device : devices) {
            CliDevice* d = device.get();
            auto run = [&, d] {
                try {
                    if (update)
                        d->RunUpdate();
                    else
                        d->RunInfo();
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "fwupdate-cli: %s: %s\n", d->Target().Label.c_str(), e.what());
                }
                {
                    std::lock_guard hold(doneLock);
                    ++finished;
                }
                doneChanged.notify_all();
            };
            try {
                threads.emplace_back(run);
            } catch (const std::system_error& e) { // no thread: this device ends as a failure of the tool
                std::fprintf(stderr, "fwupdate-cli: %s: %s\n", d->Target().Label.c_str(), e.what());
                std::lock_guard hold(doneLock);
                ++finished;
            }
        }
        // Caught before the block ends, so that a signal held back meanwhile is not lost.
        CatchStopSignals();
    }

    int stoppedBy = 0;
    auto announce = [&] {
        stoppedBy = StopSignal();
        const SignalName name = NameOfSignal(stoppedBy);
        const std::string text = std::string("interrupted by ") + name.Name + " (" + name.Meaning +
                                 "): stopping every update between pages (a second one quits at once)";
        LogLine("fwupdate-cli: " + text);
        out.Line(text);
        out.Event(JsonLine("interrupted").Int("signal", stoppedBy).Text("name", name.Name).Str());
    };
    int reported = 0; // devices ended when the report was last written
    auto report = [&] {
        if (const std::string error = WriteRunReport(o, devices); !error.empty())
            std::fprintf(stderr, "fwupdate-cli: --report: %s\n", error.c_str());
    };
    for (;;) {
        bool allEnded;
        int ended;
        {
            std::unique_lock hold(doneLock);
            allEnded = doneChanged.wait_for(hold, kSignalPoll, [&] { return finished == n; });
            ended = finished;
        }
        // Rewritten whenever a device has ended, so that a run ended at once (a second stop signal)
        // still leaves the records of the devices that had ended.
        if (ended != reported && !allEnded) {
            reported = ended;
            report();
        }
        if (stoppedBy == 0 && StopSignal() != 0)
            announce();
        if (allEnded)
            break;
        // Repeated until every device has ended: a device that was about to start its update resets
        // its stop request as it starts.
        if (stoppedBy != 0)
            for (auto& d : devices)
                d->Interrupt(stoppedBy);
    }
    for (auto& t : threads)
        t.join();
    if (stoppedBy == 0 && StopSignal() != 0)
        announce(); // as the last device ended
    out.EndLive();
    report();

    int code = kExitOk;
    int ok = 0;
    std::map<std::string, int> results; // the done events' result words, counted
    for (const auto& d : devices) {
        code = std::max(code, d->Code());
        ok += d->Code() == kExitOk ? 1 : 0;
        ++results[d->Result()];
    }
    // A stopped run is never a success, even where every device had finished by then.
    if (stoppedBy != 0)
        code = std::max(code, ExitCodeForSignal(stoppedBy));
    // The last event of the run, after every device's done.
    out.Event(JsonLine("summary")
                  .Value("results", results)
                  .Int("devices", n)
                  .Int("code", code)
                  .Number("seconds",
                          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count())
                  .Str());
    if (n > 1) {
        out.Line("summary: " + std::to_string(ok) + " of " + std::to_string(n) + " devices " +
                 (update ? (o.DryRun ? "passed every check" : "updated") : "answered") + "; exit " +
                 std::to_string(code));
        for (const auto& d : devices)
            out.Line("  " + d->Outcome());
    }
    return code;
}

} // namespace

std::string BeginRunLog(const CliOptions& o) {
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
            CliOptions options = parsed.Options;
            const std::string error = AddListedDevices(options);
            if (!error.empty()) {
                std::fprintf(stderr, "fwupdate-cli: %s\n", error.c_str());
                return kExitUsage;
            }
            return RunDevices(options);
        }
        case CliCommand::Scan:
            return RunScan(parsed.Options);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwupdate-cli: %s\n", e.what());
    }
    return kExitInternal;
}
