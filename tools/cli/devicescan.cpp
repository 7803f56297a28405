// scan: a pool of probing threads over one link manager, the answers printed in address order.
#include "tools/cli/devicescan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "base/timetext.h"
#include "link/conbase.h"
#include "tools/cli/clidevice.h"
#include "tools/cli/clioptions.h"
#include "tools/cli/clioutput.h"
#include "tools/cli/clireport.h"
#include "tools/cli/devicelist.h"
#include "tools/cli/jsonline.h"
#include "tools/cli/linkwaiter.h"
#include "tools/cli/stopsignal.h"
#include "update/kennunglist.h"

namespace {

// Files kept beside the probes' sockets: standard streams, the log, the link's wake-up, the report.
constexpr int64_t kFilesBeside = 64;

// One number of a dotted address: decimal, 0 to 255, no sign, at most three digits.
bool ParseOctet(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<uint32_t>(std::stoul(text));
    return value <= 255;
}

std::optional<uint32_t> ParseDotted(const std::string& text) {
    uint32_t address = 0;
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.', from) : text.size();
        uint32_t octet = 0;
        if (dot == std::string::npos || !ParseOctet(text.substr(from, dot - from), octet))
            return std::nullopt;
        address = address << 8 | octet;
        from = dot + 1;
    }
    return address;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// One line of the text output: what info prints, in one line.
std::string FoundLine(const std::string& label, const DeviceIdentity& id) {
    auto value = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    std::string kennung = "-";
    if (id.Kennung) {
        // The list's text names the number too ("19 FARQUIN"), as info prints it.
        const char* text = KennungText(*id.Kennung);
        kennung = text != nullptr ? text : std::to_string(*id.Kennung) + " (not in the list)";
    }
    char serial[16] = "-";
    if (id.Serial)
        std::snprintf(serial, sizeof serial, "%.8d", *id.Serial);
    return label + "  Kennung " + kennung + ", " + value(id.Version) + ", Seriennummer " + serial +
           ", ManName " + Quoted(id.Name) + ", UserName " + Quoted(id.OemName) + ", OemDeviceName " +
           Quoted(id.DeviceName) + ", LibraryName " + Quoted(id.LibraryName);
}

std::string FoundEvent(const std::string& label, const DeviceIdentity& id) {
    JsonLine j("found");
    j.Text("device", label);
    if (id.Kennung) {
        j.Int("kennung", *id.Kennung);
        if (const char* text = KennungText(*id.Kennung))
            j.Text("kennungText", text);
        else
            j.Null("kennungText");
    } else {
        j.Null("kennung").Null("kennungText");
    }
    auto text = [&](const char* key, const std::string& value) {
        if (value.empty())
            j.Null(key);
        else
            j.Text(key, value);
    };
    text("version", id.Version);
    if (id.Serial) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%.8d", *id.Serial);
        j.Int("serial", *id.Serial).Text("serialText", serial);
    } else {
        j.Null("serial").Null("serialText");
    }
    text("name", id.Name);
    text("oemName", id.OemName);
    text("deviceName", id.DeviceName);
    text("libraryName", id.LibraryName);
    return j.Str();
}

} // namespace

std::string DottedAddress(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
           std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
}

std::optional<AddressRange> ParseAddressRange(const std::string& text, std::string& error) {
    const std::string form = "scan " + text + ": ";
    const size_t slash = text.find('/');
    const size_t dash = text.find('-');
    const std::optional<uint32_t> first = ParseDotted(text.substr(0, std::min(slash, dash)));
    if (!first || (slash != std::string::npos && dash != std::string::npos)) {
        error = form + "the range must be A.B.C.D/NN, A.B.C.D-E or one address A.B.C.D";
        return std::nullopt;
    }
    if (slash != std::string::npos) {
        uint32_t bits = 0;
        const std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            prefix.find_first_not_of("0123456789") != std::string::npos ||
            (bits = static_cast<uint32_t>(std::stoul(prefix))) > 32) {
            error = form + "the prefix length after '/' must be a number from 16 to 32";
            return std::nullopt;
        }
        if (bits < 16) {
            error = form + "at most 65536 addresses (a /16) are scanned at a time";
            return std::nullopt;
        }
        const uint64_t count = uint64_t{1} << (32 - bits);
        const uint32_t mask = ~uint32_t{0} << (32 - bits);
        return AddressRange{*first & mask, static_cast<uint32_t>(count)};
    }
    if (dash != std::string::npos) {
        uint32_t last = 0;
        if (!ParseOctet(text.substr(dash + 1), last) || last < (*first & 255)) {
            error = form + "after '-' comes the last number of the last address, from " +
                    std::to_string(*first & 255) + " to 255";
            return std::nullopt;
        }
        return AddressRange{*first, last - (*first & 255) + 1};
    }
    return AddressRange{*first, 1};
}

int ScanDevices(const ScanRequest& request) {
    std::string error;
    const std::optional<AddressRange> range = ParseAddressRange(request.Range, error);
    if (!range) {
        std::fprintf(stderr, "fwupdate-cli: %s\nfwupdate-cli --help shows the commands and options\n",
                     error.c_str());
        return kExitUsage;
    }
    const std::string where = request.Range + " port " + std::to_string(request.Port);
    auto writeList = [&](const std::vector<DeviceTarget>& found, const std::vector<std::string>& notes,
                         const std::string& state) {
        if (request.WriteList.empty())
            return std::string();
        const std::string header = "Devices found by fwupdate-cli scan " + where + ", " +
                                   UtcTimeText(std::chrono::system_clock::now()) + ": " + state +
                                   "\nOne HOST:PORT a line, for fwupdate-cli --devices-from.";
        return WriteFileReplacing(request.WriteList, DeviceListText(found, notes, header));
    };
    // Written before the scan too: a list that cannot be written says so before the scan begins.
    error = writeList({}, {}, "scan under way");
    if (!error.empty()) {
        std::fprintf(stderr, "fwupdate-cli: --write-list: %s\n", error.c_str());
        return kExitUsage;
    }

    const auto started = std::chrono::steady_clock::now();
    CliOutput out(CliOutput::ModeFor(stdout, request.Json), stdout, 0);
    RunSettings settings;
    settings.Timeout = request.Timeout;
    settings.Quiet = true;

    int64_t parallel = std::min<int64_t>(kScanParallel, range->Count);
    if (const int64_t files = RaiseOpenFileLimit(); files > 0)
        parallel = std::max<int64_t>(1, std::min(parallel, files - kFilesBeside));

    // Guarded by lock: each address's outcome, the probes under way, what was printed.
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::optional<DeviceIdentity>> answers(range->Count);
    std::vector<bool> done(range->Count, false);
    std::vector<CliDevice*> probing(static_cast<size_t>(parallel), nullptr);
    uint32_t printed = 0;
    uint32_t found = 0;
    int running = 0;
    std::atomic<uint32_t> next{0};
    std::atomic<bool> stop{false};
    std::vector<DeviceTarget> foundTargets;
    std::vector<std::string> notes;

    auto targetOf = [&](uint32_t index) {
        DeviceTarget t;
        t.Host = DottedAddress(range->First + index);
        t.Port = request.Port;
        t.Label = t.Host + ":" + std::to_string(t.Port);
        return t;
    };
    // The answers in address order, as far as every lower address has been probed. Caller holds lock.
    auto printReady = [&] {
        while (printed < range->Count && done[printed]) {
            if (const auto& id = answers[printed]) {
                const DeviceTarget t = targetOf(printed);
                out.Line(FoundLine(t.Label, *id));
                out.Event(FoundEvent(t.Label, *id));
                foundTargets.push_back(t);
                std::string note;
                if (id->Serial)
                    note += "Seriennummer " + std::to_string(*id->Serial);
                if (id->Kennung)
                    note +=
                        (note.empty() ? "" : ", ") + std::string("Kennung ") + std::to_string(*id->Kennung);
                if (!id->DeviceName.empty())
                    note += (note.empty() ? "" : ", ") + id->DeviceName;
                notes.push_back(note);
                ++found;
            }
            ++printed;
        }
    };

    // Declared in this order so that the probes' threads end before the receiver and the link go.
    std::unique_ptr<ConBase> link;
    std::unique_ptr<LinkWaiter> waiter;
    std::vector<std::thread> threads;
    {
        BlockStopSignals blocked;
        link = std::make_unique<ConBase>();
        waiter = std::make_unique<LinkWaiter>(*link);
        for (int64_t w = 0; w < parallel; ++w) {
            auto probe = [&, w] {
                for (;;) {
                    const uint32_t index = next.fetch_add(1);
                    if (index >= range->Count || stop.load())
                        break;
                    CliDevice device(*link, *waiter, out, targetOf(index), settings, 0);
                    {
                        std::lock_guard hold(lock);
                        probing[static_cast<size_t>(w)] = &device;
                    }
                    if (stop.load()) // set before this probe was listed: the main thread has not seen it
                        device.Interrupt(StopSignal());
                    const bool answered = device.Probe();
                    std::lock_guard hold(lock);
                    probing[static_cast<size_t>(w)] = nullptr;
                    if (answered)
                        answers[index] = device.Identity();
                    done[index] = true;
                    printReady();
                }
                {
                    std::lock_guard hold(lock);
                    --running;
                }
                changed.notify_all();
            };
            {
                // Counted first: a probe that ends at once counts itself down.
                std::lock_guard hold(lock);
                ++running;
            }
            try {
                threads.emplace_back(probe);
            } catch (const std::system_error& e) {
                {
                    std::lock_guard hold(lock);
                    --running;
                }
                if (threads.empty()) {
                    std::fprintf(stderr, "fwupdate-cli: scan: no thread: %s\n", e.what());
                    return kExitInternal;
                }
                break; // the threads there are take all addresses
            }
        }
        // Caught before the block ends, so that a signal held back meanwhile is not lost.
        CatchStopSignals();
    }

    int stoppedBy = 0;
    for (;;) {
        std::unique_lock hold(lock);
        if (changed.wait_for(hold, kSignalPoll, [&] { return running == 0; }))
            break;
        if (StopSignal() == 0)
            continue;
        if (stoppedBy == 0) {
            stoppedBy = StopSignal();
            stop = true;
            hold.unlock();
            const SignalName name = NameOfSignal(stoppedBy);
            out.Line(std::string("interrupted by ") + name.Name + " (" + name.Meaning + "): ending the scan");
            out.Event(JsonLine("interrupted").Int("signal", stoppedBy).Text("name", name.Name).Str());
            hold.lock();
        }
        for (CliDevice* d : probing)
            if (d != nullptr)
                d->Interrupt(stoppedBy);
    }
    for (auto& t : threads)
        t.join();

    const bool interrupted = stoppedBy != 0;
    const int code = interrupted ? ExitCodeForSignal(stoppedBy) : found > 0 ? kExitOk : kExitNoConnection;
    const std::string state = std::to_string(found) + (found == 1 ? " device" : " devices") + " in " +
                              std::to_string(range->Count) + " addresses" +
                              (interrupted ? " (interrupted after " + std::to_string(printed) + ")" : "");
    out.Line("scan " + where + ": " + state);
    out.Event(JsonLine("summary")
                  .Text("range", request.Range)
                  .Int("port", request.Port)
                  .Int("addresses", range->Count)
                  .Int("scanned", printed)
                  .Int("found", found)
                  .Int("code", code)
                  .Number("seconds",
                          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count())
                  .Str());
    error = writeList(foundTargets, notes, state);
    if (!error.empty()) {
        std::fprintf(stderr, "fwupdate-cli: --write-list: %s\n", error.c_str());
        return std::max(code, static_cast<int>(kExitInternal));
    }
    return code;
}
