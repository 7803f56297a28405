// FleetPresenter: the table of devices, the jobs that fill it (scan, identification, update) and the
// refresh that hands the engine's events to the view in batches.
#include "app/fleetpresenter.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>
#include <utility>

#include "app/intfield.h"
#include "app/settings.h"
#include "base/platform.h"
#include "fleet/addressrange.h"
#include "fleet/devicelist.h"
#include "fleet/firmwarecheck.h"
#include "fleet/resultcode.h"
#include "fleet/runreport.h"
#include "update/kennunglist.h"
#include "update/updatesession.h"

const char* FleetColumnHeading(FleetColumn column) {
    static const char* const headings[kFleetColumns] = {
        "Address", "OEM id", "Version", "Serial", "Name", "OEM name", "Device name", "Library name", "State"};
    return headings[static_cast<size_t>(column)];
}

std::vector<std::string> DefaultScanRanges(const std::vector<SockNetwork>& networks) {
    std::vector<std::string> ranges;
    for (const SockNetwork& n : networks) {
        if ((n.Address >> 24) == 127 || n.Prefix < 0 || n.Prefix > 32)
            continue;
        // A scan covers at most a /16; a wider network is offered as the /24 around this computer.
        const int prefix = n.Prefix < 16 ? 24 : n.Prefix;
        const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
        std::string range = DottedAddress(n.Address & mask) + "/" + std::to_string(prefix);
        if (std::find(ranges.begin(), ranges.end(), range) == ranges.end())
            ranges.push_back(std::move(range));
    }
    return ranges;
}

namespace {

constexpr const char* kStateFound = "found";
constexpr const char* kStateListed = "listed";

std::string KennungCell(const DeviceIdentity& id) {
    if (!id.Kennung)
        return {};
    if (const char* text = KennungText(*id.Kennung))
        return text;
    return std::to_string(*id.Kennung);
}

// The address as a number for ordering; host names after every dotted address.
std::tuple<bool, uint32_t, std::string, int> AddressOrder(const DeviceTarget& t) {
    std::string error;
    const std::optional<AddressRange> r = ParseAddressRange(t.Host, error);
    const bool dotted = r && r->Count == 1;
    return {!dotted, dotted ? r->First : 0, dotted ? std::string() : t.Host, t.Port};
}

// "HWV=H.L" as two numbers for ordering, anything else after them by its text.
std::tuple<bool, long, long, std::string> VersionOrder(const std::optional<std::string>& v) {
    long high = 0, low = 0;
    char tail = 0;
    const size_t digits = v ? v->find_first_of("0123456789") : std::string::npos;
    if (digits != std::string::npos && std::sscanf(v->c_str() + digits, "%ld.%ld%c", &high, &low, &tail) == 2)
        return {false, high, low, {}};
    return {true, 0, 0, v.value_or("\x7f")};
}

std::string Minutes(double seconds) {
    const long s = std::max(0L, static_cast<long>(seconds + 0.5));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

FleetPresenter::FleetPresenter(FleetView& view, FleetOptions options)
    : View(view), Options(std::move(options)),
      Admin(std::find(Options.Arguments.begin(), Options.Arguments.end(), "-admin") !=
            Options.Arguments.end()) {
    View.SetTitle(Title());
    View.SetRanges(Options.Ranges);
    View.SetRows(0, {});
    View.SetVersions({});
    View.SetConfigInfo("No configuration file chosen");
    View.SetOverall(-1, "");
    View.SetStatus("Scan a range, open a device list or add a device");
    View.SetBusy(false);
    View.Bind(this);
}

FleetPresenter::~FleetPresenter() {
    View.Bind(nullptr);
    if (Scan)
        Scan->Stop({});
    if (Run)
        Run->Stop({});
    if (Waiter.joinable())
        Waiter.join();
    Run.reset();
    Scan.reset();
}

std::string FleetPresenter::Title() const {
    return Admin ? "FW-Update devices ADMIN V1.4"
                 : "FW-Update devices OEM=" + std::to_string(UpdateSession::OemNumber) + " V1.4";
}

void FleetPresenter::Post(std::function<void()> fn) {
    View.PostToUi([alive = std::weak_ptr<int>(AliveToken), fn = std::move(fn)] {
        if (!alive.expired())
            fn();
    });
}

// ---- finding devices ----

size_t FleetPresenter::AddDevice(const DeviceTarget& target, bool& added) {
    const std::string key = DeviceKey(target);
    for (size_t i = 0; i < Devices.size(); ++i) {
        if (Devices[i].Key == key) {
            added = false;
            return i;
        }
    }
    Device d;
    d.Target = target;
    if (d.Target.Label.empty())
        d.Target.Label = target.Host + ":" + std::to_string(target.Port);
    d.Target.Config.clear(); // the window updates every device with the configuration chosen
    d.Key = key;
    d.State = kStateListed;
    Devices.push_back(std::move(d));
    Order.push_back(Devices.size() - 1);
    added = true;
    return Devices.size() - 1;
}

void FleetPresenter::OnScan(const std::string& range, const std::string& port) {
    if (Busy())
        return;
    std::string error;
    const std::optional<AddressRange> addresses = ParseAddressRange(range, error);
    if (!addresses) {
        View.InfoBox("Not a range to scan: " + error);
        return;
    }
    const std::optional<int32_t> portValue = IntFieldValue(port);
    if (!portValue || *portValue < 1 || *portValue > 65535) {
        View.InfoBox("The port must be a number from 1 to 65535");
        return;
    }
    ScanSettings settings;
    settings.Range = range;
    settings.Addresses = *addresses;
    settings.Port = *portValue;
    settings.Timeout = Options.Timeout;
    // Each probe holds a file of the process; leave room for the rest of the program.
    const int64_t files = RaiseOpenFileLimit();
    if (files > 0)
        settings.Parallel = static_cast<int>(std::clamp<int64_t>((files - 64) / 2, 1, kScanParallel));
    Scan = std::make_unique<ScanRun>(settings, Observer);
    JobDevices.clear();
    StartJob(JobKind::Scan, {}, {});
    View.SetStatus("Scanning " + range + " port " + std::to_string(*portValue) + "...");
}

void FleetPresenter::OnOpenList() {
    if (Busy())
        return;
    const std::optional<std::string> file = View.ChooseFile(FleetView::FileKind::DeviceList, CfgFolder);
    if (!file)
        return;
    const DeviceListRead list = ReadDeviceList(*file, false);
    if (!list.Error.empty()) {
        View.InfoBox(list.Error);
        return;
    }
    std::vector<size_t> added;
    for (const DeviceTarget& t : list.Devices) {
        bool isNew = false;
        const size_t i = AddDevice(t, isNew);
        if (isNew)
            added.push_back(i);
    }
    IdentifyNew(added);
}

void FleetPresenter::OnAdd(const std::string& device) {
    if (Busy())
        return;
    DeviceTarget target;
    std::string error;
    if (!ParseDeviceTarget(device, false, target, error)) {
        View.InfoBox(error);
        return;
    }
    bool isNew = false;
    const size_t i = AddDevice(target, isNew);
    IdentifyNew(isNew ? std::vector<size_t>{i} : std::vector<size_t>{});
}

void FleetPresenter::IdentifyNew(const std::vector<size_t>& devices) {
    DrawAll();
    if (devices.empty()) {
        View.SetStatus("No new device");
        return;
    }
    RunSettings settings;
    settings.Task = FleetTask::Identify;
    settings.Timeout = Options.Timeout;
    StartJob(JobKind::Identify, devices, settings);
    View.SetStatus("Asking " + std::to_string(devices.size()) + " device(s) who they are...");
}

// ---- the jobs ----

void FleetPresenter::StartJob(JobKind kind, std::vector<size_t> devices, const RunSettings& settings) {
    JobDevices = std::move(devices);
    {
        std::lock_guard hold(PendingLock);
        Pending.assign(JobDevices.size(), Change{});
        DirtyFlag.assign(JobDevices.size(), false);
        PendingDirty.clear();
        Found.clear();
        JobDone = false;
    }
    Stopping = false;
    JobStarted = std::chrono::steady_clock::now();
    std::string error;
    if (kind == JobKind::Scan) {
        error = Scan->Start();
    } else {
        std::vector<DeviceTarget> targets;
        for (const size_t i : JobDevices)
            targets.push_back(Devices[i].Target);
        Run = std::make_unique<FleetRun>(targets, settings, Observer);
        error = Run->Start();
        if (!error.empty() && !settings.ReportPath.empty()) {
            // The report beside the log cannot be written: the update still runs, without it.
            RunSettings without = settings;
            without.ReportPath.clear();
            Run = std::make_unique<FleetRun>(targets, without, Observer);
            error = Run->Start();
        }
    }
    if (!error.empty()) {
        Scan.reset();
        Run.reset();
        View.InfoBox(error);
        return;
    }
    Job = kind;
    View.SetBusy(true);
    Waiter = std::thread([this] {
        if (Scan)
            while (!Scan->Wait(std::chrono::milliseconds(200))) {
            }
        else
            while (!Run->Wait(std::chrono::milliseconds(200))) {
            }
        {
            std::lock_guard hold(PendingLock);
            JobDone = true;
        }
        RequestRefresh();
    });
}

void FleetPresenter::OnStop() {
    if (!Busy() || Stopping)
        return;
    Stopping = true;
    if (Scan)
        Scan->Stop({});
    if (Run)
        Run->Stop({});
    View.SetStatus(Job == JobKind::Update ? "Stopping: every update stops after its current page..."
                                          : "Stopping...");
}

void FleetPresenter::JobEnded() {
    if (Waiter.joinable())
        Waiter.join();
    const JobKind kind = Job;
    std::string text;
    if (kind == JobKind::Scan) {
        text = std::string(Stopping ? "Scan stopped: " : "Scan ended: ") + std::to_string(Devices.size()) +
               " device(s) in the table";
    } else if (Run) {
        const std::vector<DeviceRecord> records = Run->Records();
        if (kind == JobKind::Update) {
            Records = records;
            text = EndText(records);
        } else {
            text = std::string(Stopping ? "Stopped" : "Done") + ": " + std::to_string(records.size()) +
                   " device(s) asked";
        }
    }
    Run.reset();
    Scan.reset();
    Job = JobKind::None;
    Stopping = false;
    View.SetBusy(false);
    View.SetStatus(text);
}

std::string FleetPresenter::EndText(const std::vector<DeviceRecord>& records) {
    int ok = 0, failed = 0, refused = 0;
    std::vector<std::string> incomplete;
    size_t notBegun = 0;
    for (size_t j = 0; j < records.size() && j < JobDevices.size(); ++j) {
        const DeviceRecord& r = records[j];
        const Device& d = Devices[JobDevices[j]];
        if (r.Result == "ok" && r.Code == kExitOk)
            ++ok;
        else if (r.Result == "interrupted" && d.Started)
            incomplete.push_back(r.Address);
        else if (r.Result == "interrupted")
            ++notBegun;
        else if (r.Code && IsRefusal(*r.Code) && *r.Code != kExitNoConnection)
            ++refused;
        else
            ++failed;
    }
    std::string text;
    if (Stopping || !incomplete.empty() || notBegun > 0) {
        text = "Stopped: " + std::to_string(ok) + " OK, " + std::to_string(incomplete.size()) +
               " left incomplete";
        for (size_t k = 0; k < incomplete.size(); ++k)
            text += (k == 0 ? " (" : ", ") + incomplete[k] + (k + 1 == incomplete.size() ? ")" : "");
        text += ", " + std::to_string(notBegun) + " not begun, " + std::to_string(failed) + " failed, " +
                std::to_string(refused) + " refused";
    } else {
        text = "Update ended: " + std::to_string(ok) + " OK, " + std::to_string(failed) + " failed, " +
               std::to_string(refused) + " refused";
    }
    if (!Options.AutoReportPath.empty())
        text += "; report: " + Options.AutoReportPath;
    return text;
}

// ---- the engine's events (device threads) ----

template <typename Fn> void FleetPresenter::Note(int index, Fn&& fn) {
    {
        std::lock_guard hold(PendingLock);
        const auto i = static_cast<size_t>(index);
        if (i >= Pending.size())
            return;
        fn(Pending[i]);
        if (!DirtyFlag[i]) {
            DirtyFlag[i] = true;
            PendingDirty.push_back(index);
        }
    }
    RequestRefresh();
}

void FleetPresenter::RequestRefresh() {
    {
        std::lock_guard hold(PendingLock);
        if (RefreshScheduled)
            return;
        RefreshScheduled = true;
    }
    // Refreshes come at most every kRefreshMs: the wait is what is left of that time since the last one.
    Post([this] {
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - LastRefresh)
                               .count();
        const int wait = static_cast<int>(std::clamp<long long>(kRefreshMs - since, 0, kRefreshMs));
        View.PostToUiAfter(wait, [this, alive = std::weak_ptr<int>(AliveToken)] {
            if (!alive.expired())
                Refresh();
        });
    });
}

void FleetPresenter::EngineEvents::OnConnecting(const ConnectingEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.State = e.Attempt > 1 ? "connecting (attempt " + std::to_string(e.Attempt) + ")" : "connecting";
    });
}

void FleetPresenter::EngineEvents::OnIdentified(const IdentifiedEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Identity = e.Identity;
        if (P.Job == JobKind::Update)
            c.State = "checking";
    });
}

void FleetPresenter::EngineEvents::OnWaiting(const WaitingEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) { c.State = "waiting for its turn"; });
}

void FleetPresenter::EngineEvents::OnStarted(const StartedEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Started = true;
        c.Pages = e.Pages;
        c.Written = 0;
        c.Percent = 0;
        c.State = "updating 0%";
    });
}

void FleetPresenter::EngineEvents::OnProgress(const ProgressEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Pages = e.Pages;
        c.Written = e.Written;
        c.Percent = e.Pages > 0 ? static_cast<int>(e.Written * 100 / e.Pages) : 0;
        c.State = "updating " + std::to_string(c.Percent) + "%";
    });
}

void FleetPresenter::EngineEvents::OnRetry(const RetryEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Percent = -1;
        c.State =
            "retry " + std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) + ": " + e.Detail;
    });
}

void FleetPresenter::EngineEvents::OnRefused(const RefusedEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) { c.State = "refused: " + e.Message; });
}

void FleetPresenter::EngineEvents::OnDone(const DoneEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) { c.Done = e; });
}

void FleetPresenter::EngineEvents::OnFound(const FoundEvent& e) {
    {
        std::lock_guard hold(P.PendingLock);
        P.Found.push_back(e);
    }
    P.RequestRefresh();
}

// ---- the refresh (UI thread) ----

void FleetPresenter::Refresh() {
    std::vector<std::pair<int, Change>> changes;
    std::vector<FoundEvent> found;
    bool done = false;
    {
        std::lock_guard hold(PendingLock);
        for (const int i : PendingDirty) {
            changes.emplace_back(i, std::move(Pending[static_cast<size_t>(i)]));
            Pending[static_cast<size_t>(i)] = Change{};
            DirtyFlag[static_cast<size_t>(i)] = false;
        }
        PendingDirty.clear();
        found.swap(Found);
        done = JobDone;
        JobDone = false;
        RefreshScheduled = false;
    }
    LastRefresh = std::chrono::steady_clock::now();

    std::set<size_t> changed;
    for (const FoundEvent& f : found) {
        bool isNew = false;
        const size_t i = AddDevice(f.Device, isNew);
        Devices[i].Identity = f.Identity;
        Devices[i].State = kStateFound;
        changed.insert(i);
    }
    const bool update = Job == JobKind::Update;
    for (auto& [index, c] : changes) {
        if (static_cast<size_t>(index) >= JobDevices.size())
            continue;
        Device& d = Devices[JobDevices[static_cast<size_t>(index)]];
        changed.insert(JobDevices[static_cast<size_t>(index)]);
        if (c.Identity)
            d.Identity = *c.Identity;
        if (c.State) {
            d.State = *c.State;
            d.Percent = c.Percent;
        }
        d.Started = d.Started || c.Started;
        if (c.Pages > 0) {
            d.Pages = c.Pages;
            d.Written = c.Written;
        }
        if (!c.Done)
            continue;
        // Never OK unless the device's whole sequence ended without an error: the end decides, never the
        // pages written.
        const DoneEvent& e = *c.Done;
        d.Ended = true;
        d.Percent = -1;
        if (e.Result == "ok" && e.Code == kExitOk)
            d.State = update ? "OK" : kStateFound;
        else if (e.Result == "interrupted")
            d.State =
                d.Started ? "stopped: the flash is incomplete, update it again" : "stopped: nothing written";
        else if (e.Code == kExitNoConnection)
            d.State = "no answer: " + e.Detail;
        else if (IsRefusal(e.Code))
            d.State = "refused: " + (e.Message.empty() ? e.Detail : e.Message);
        else
            d.State = "failed: " + e.Detail;
    }

    if (!changed.empty()) {
        std::vector<size_t> position(Devices.size());
        for (size_t p = 0; p < Order.size(); ++p)
            position[Order[p]] = p;
        std::vector<std::pair<size_t, FleetRow>> rows;
        rows.reserve(changed.size());
        for (const size_t i : changed)
            rows.emplace_back(position[i], RowOf(Devices[i]));
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        View.SetRows(Order.size(), rows);
        DrawVersions();
    }
    if (update) {
        double sum = 0;
        size_t ended = 0;
        for (const size_t i : JobDevices) {
            const Device& d = Devices[i];
            ended += d.Ended ? 1 : 0;
            sum += d.Ended       ? 1.0
                   : d.Pages > 0 ? static_cast<double>(d.Written) / static_cast<double>(d.Pages)
                                 : 0.0;
        }
        const double share = JobDevices.empty() ? 1.0 : sum / static_cast<double>(JobDevices.size());
        std::string text =
            std::to_string(ended) + " of " + std::to_string(JobDevices.size()) + " devices ended";
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - JobStarted).count();
        if (share > 0.01 && share < 1.0)
            text += ", about " + Minutes(elapsed * (1.0 - share) / share) + " left";
        View.SetOverall(static_cast<int>(share * 100.0), text);
    }
    if (done)
        JobEnded();
}

FleetRow FleetPresenter::RowOf(const Device& d) const {
    FleetRow row;
    const DeviceIdentity& id = d.Identity;
    auto cell = [&row](FleetColumn c) -> std::string& { return row.Cells[static_cast<size_t>(c)]; };
    cell(FleetColumn::Address) = d.Target.Label;
    cell(FleetColumn::Kennung) = KennungCell(id);
    cell(FleetColumn::Version) = id.Version.value_or("");
    cell(FleetColumn::Serial) = id.Serial ? std::to_string(*id.Serial) : "";
    cell(FleetColumn::Name) = id.Name.value_or("");
    cell(FleetColumn::OemName) = id.OemName.value_or("");
    cell(FleetColumn::DeviceName) = id.DeviceName.value_or("");
    cell(FleetColumn::LibraryName) = id.LibraryName.value_or("");
    cell(FleetColumn::State) = d.State;
    row.Selected = d.Selected;
    row.Percent = d.Percent;
    return row;
}

void FleetPresenter::DrawAll() {
    std::vector<std::pair<size_t, FleetRow>> rows;
    rows.reserve(Order.size());
    for (size_t p = 0; p < Order.size(); ++p)
        rows.emplace_back(p, RowOf(Devices[Order[p]]));
    View.SetRows(Order.size(), rows);
    DrawVersions();
}

void FleetPresenter::DrawVersions() {
    std::set<std::string> found;
    for (const Device& d : Devices)
        if (d.Identity.Version)
            found.insert(*d.Identity.Version);
    std::vector<std::string> versions(found.begin(), found.end());
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return VersionOrder(a) < VersionOrder(b); });
    if (versions != Versions) {
        Versions = versions;
        View.SetVersions(Versions);
    }
}

// ---- selection and order ----

void FleetPresenter::OnRowChecked(size_t position, bool selected) {
    if (position >= Order.size())
        return;
    Device& d = Devices[Order[position]];
    if (d.Selected == selected)
        return;
    d.Selected = selected;
    View.SetRows(Order.size(), {{position, RowOf(d)}});
}

void FleetPresenter::SetSelected(const std::function<bool(const Device&)>& selected) {
    std::vector<std::pair<size_t, FleetRow>> rows;
    for (size_t p = 0; p < Order.size(); ++p) {
        Device& d = Devices[Order[p]];
        const bool s = selected(d);
        if (s != d.Selected) {
            d.Selected = s;
            rows.emplace_back(p, RowOf(d));
        }
    }
    if (!rows.empty())
        View.SetRows(Order.size(), rows);
}

void FleetPresenter::OnSelectAll() {
    SetSelected([](const Device&) { return true; });
}

void FleetPresenter::OnSelectNone() {
    SetSelected([](const Device&) { return false; });
}

void FleetPresenter::OnSelectVersion(const std::string& version) {
    SetSelected([&version](const Device& d) { return d.Identity.Version == version; });
}

void FleetPresenter::OnSort(FleetColumn column, bool ascending) {
    auto key = [column](const Device& d) {
        const DeviceIdentity& id = d.Identity;
        // Unreported numbers after every reported one.
        auto number = [](const std::optional<int32_t>& v) { return std::make_pair(!v, v.value_or(0)); };
        switch (column) {
        case FleetColumn::Address:
            return std::make_tuple(AddressOrder(d.Target), std::make_pair(false, 0), VersionOrder({}),
                                   std::string());
        case FleetColumn::Kennung:
            return std::make_tuple(AddressOrder({}), number(id.Kennung), VersionOrder({}), std::string());
        case FleetColumn::Serial:
            return std::make_tuple(AddressOrder({}), number(id.Serial), VersionOrder({}), std::string());
        case FleetColumn::Version:
            return std::make_tuple(AddressOrder({}), std::make_pair(false, 0), VersionOrder(id.Version),
                                   std::string());
        default:
            break;
        }
        std::string text;
        if (column == FleetColumn::Name)
            text = id.Name.value_or("");
        else if (column == FleetColumn::OemName)
            text = id.OemName.value_or("");
        else if (column == FleetColumn::DeviceName)
            text = id.DeviceName.value_or("");
        else if (column == FleetColumn::LibraryName)
            text = id.LibraryName.value_or("");
        else
            text = d.State;
        return std::make_tuple(AddressOrder({}), std::make_pair(false, 0), VersionOrder({}), text);
    };
    std::stable_sort(Order.begin(), Order.end(), [&](size_t a, size_t b) {
        return ascending ? key(Devices[a]) < key(Devices[b]) : key(Devices[b]) < key(Devices[a]);
    });
    DrawAll();
}

// ---- the update ----

void FleetPresenter::OnChooseConfig() {
    if (Busy())
        return;
    const std::optional<std::string> file = View.ChooseFile(FleetView::FileKind::Config, CfgFolder);
    if (!file)
        return;
    CfgFolder = PathToUtf8(PathFromUtf8(*file).parent_path());
    const FirmwareCheck check = CheckFirmware(*file);
    ConfigPath = *file;
    ConfigOk = check.Code == kExitOk;
    const std::string name = PathToUtf8(PathFromUtf8(*file).filename());
    if (!check.Valid) {
        View.SetConfigInfo(name + ": " + check.Reason);
        return;
    }
    std::string text = name + ": version " + std::to_string(check.Config.FwVersion) + " revision " +
                       std::to_string(check.Config.FwRevision) + ", image " + check.Config.Filename;
    if (check.ImageFound)
        text += " (" + std::to_string(check.ImageBytes) + " bytes)";
    if (check.Config.UseSeriennummer != 0)
        text += ", for serial " + std::to_string(check.Config.Seriennummer) + " only";
    text += ConfigOk ? ": the image checks out" : ": " + check.Reason;
    View.SetConfigInfo(text);
}

void FleetPresenter::OnUpdateSelected(int jobs, int retries) {
    if (Busy())
        return;
    if (ConfigPath.empty()) {
        View.InfoBox("Choose the firmware configuration file first");
        return;
    }
    // Read again: the file or its image may have changed since it was chosen.
    const FirmwareCheck check = CheckFirmware(ConfigPath);
    if (check.Code != kExitOk) {
        View.InfoBox(check.Reason);
        return;
    }
    std::vector<size_t> selected;
    for (const size_t i : Order)
        if (Devices[i].Selected)
            selected.push_back(i);
    if (selected.empty()) {
        View.InfoBox("Select the devices to update");
        return;
    }
    for (const size_t i : selected) {
        Device& d = Devices[i];
        d.State = "queued";
        d.Percent = -1;
        d.Started = false;
        d.Ended = false;
        d.Written = d.Pages = 0;
    }
    DrawAll();
    RunSettings settings;
    settings.Task = FleetTask::Update;
    settings.Config = ConfigPath;
    settings.Admin = Admin;
    settings.Timeout = Options.Timeout;
    settings.Retries = std::max(0, retries);
    settings.Jobs = std::max(0, jobs);
    settings.ReportPath = Options.AutoReportPath;
    settings.ProgressBetweenPages = true;
    settings.Clock = Options.Clock;
    Records.clear();
    StartJob(JobKind::Update, selected, settings);
    if (Busy()) {
        View.SetOverall(0, "0 of " + std::to_string(selected.size()) + " devices ended");
        View.SetStatus("Updating " + std::to_string(selected.size()) + " device(s)...");
    }
}

void FleetPresenter::OnSaveReport() {
    if (Records.empty()) {
        View.InfoBox("No update has run yet: there is no report to save");
        return;
    }
    const std::optional<std::string> file = View.ChooseFile(FleetView::FileKind::Report, CfgFolder);
    if (!file)
        return;
    if (!ReportFormatFor(*file)) {
        View.InfoBox("The report's name must end in .csv or .json");
        return;
    }
    if (const std::string error = WriteReport(*file, Records); !error.empty())
        View.InfoBox("The report could not be written: " + error);
    else
        View.SetStatus("Report saved: " + *file);
}

bool FleetPresenter::OnCloseRequest() {
    if (Job == JobKind::Update) {
        View.InfoBox("Firmware updates are running. The window can be closed when they have ended (Stop ends "
                     "them after their current page).");
        return false;
    }
    return true;
}
