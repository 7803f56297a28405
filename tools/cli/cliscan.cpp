// The scan command of fwupdate-cli: the command line's values for a ScanRun, its output, and the list of
// what it found.
#include "tools/cli/cliscan.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/platform.h"
#include "base/timetext.h"
#include "fleet/devicelist.h"
#include "fleet/devicescan.h"
#include "fleet/runreport.h"
#include "tools/cli/clicommands.h"
#include "tools/cli/cliobservers.h"
#include "tools/cli/stopsignal.h"

namespace {

// Files kept beside the probes' sockets: standard streams, the log, the link's wake-up, the report.
constexpr int64_t kFilesBeside = 64;

// What a scan found, for the device list: each device with its serial number, OEM id and name.
class FoundList : public FleetObserver {
public:
    void OnFound(const FoundEvent& e) override {
        const DeviceIdentity& id = e.Identity;
        std::string note;
        if (id.Serial)
            note += "Seriennummer " + std::to_string(*id.Serial);
        if (id.Kennung)
            note += (note.empty() ? "" : ", ") + std::string("Kennung ") + std::to_string(*id.Kennung);
        if (id.DeviceName && !id.DeviceName->empty())
            note += (note.empty() ? "" : ", ") + *id.DeviceName;
        std::lock_guard hold(Lock);
        Devices.push_back(e.Device);
        Notes.push_back(note);
    }
    void OnUnidentified(const UnidentifiedEvent& e) override {
        std::lock_guard hold(Lock);
        Silent.push_back(e.Detail);
    }
    void OnScanSummary(const ScanSummaryEvent& e) override {
        std::lock_guard hold(Lock);
        State = ScanState(e);
    }

    // Writes the list to path, with the scan's state in its header. Empty, or why it could not.
    std::string Write(const std::string& path, const std::string& where) {
        std::lock_guard hold(Lock);
        const std::string header = "Devices found by fwupdate-cli scan " + where + ", " +
                                   UtcTimeText(std::chrono::system_clock::now()) + ": " + State +
                                   "\nOne HOST:PORT a line, for fwupdate-cli --devices-from.";
        // Those that took the connection but did not identify stay in the list as comments, so that a broken
        // device is not missing without a word from every later report.
        std::string silent;
        if (!Silent.empty())
            silent = "# Took the connection but did not identify (not listed):\n";
        for (const std::string& detail : Silent)
            silent += "#   " + detail + "\n";
        return WriteFileReplacing(path, DeviceListText(Devices, Notes, header) + silent);
    }

private:
    std::mutex Lock;
    std::vector<DeviceTarget> Devices;
    std::vector<std::string> Notes;
    std::vector<std::string> Silent; // how each address that did not identify ended
    std::string State = "scan under way";
};

} // namespace

int RunScan(const CliOptions& o) {
    // The probes' link writes the log as info's does, to --log when given.
    BeginRunLog(o);
    std::string error;
    const std::optional<AddressRange> range = ParseAddressRange(o.ScanRange, error);
    if (!range) {
        std::fprintf(stderr, "fwupdate-cli: scan %s\nfwupdate-cli --help shows the commands and options\n",
                     error.c_str());
        return kExitUsage;
    }
    const std::string where = ScanWhere(o.ScanRange, o.Port);
    FoundList list;
    // Written before the scan too: a list that cannot be written says so before the scan begins.
    if (!o.WriteList.empty()) {
        error = list.Write(o.WriteList, where);
        if (!error.empty()) {
            std::fprintf(stderr, "fwupdate-cli: --write-list: %s\n", error.c_str());
            return kExitUsage;
        }
    }

    CliOutput out(CliOutput::ModeFor(stdout, o.Json), stdout, 0);
    CliObservers observers(out, {CliCommand::Scan, false, 0}, 0);
    observers.Add(list);
    ScanSettings settings;
    settings.Range = o.ScanRange;
    settings.Addresses = *range;
    settings.Port = o.Port;
    settings.Timeout = o.Timeout;
    // One socket per probe: the open-file limit decides how many run at once.
    if (const int64_t files = RaiseOpenFileLimit(); files > 0)
        settings.Parallel = static_cast<int>(std::clamp<int64_t>(files - kFilesBeside, 1, kScanParallel));
    ScanRun scan(settings, observers);
    error = RunWhileSignalsAllow(scan, [&] {
        if (const int signal = StopSignal(); signal != 0)
            scan.Stop({ExitCodeForSignal(signal), signal});
    });
    if (!error.empty()) {
        std::fprintf(stderr, "fwupdate-cli: scan: %s\n", error.c_str());
        return kExitInternal;
    }
    const int code = scan.Code();
    if (!o.WriteList.empty()) {
        error = list.Write(o.WriteList, where);
        if (!error.empty()) {
            std::fprintf(stderr, "fwupdate-cli: --write-list: %s\n", error.c_str());
            return std::max(code, static_cast<int>(kExitInternal));
        }
    }
    return code;
}
