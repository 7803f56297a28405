// FleetPresenter: the table of devices, the jobs that fill it (scan, identification, update), the refresh
// that hands the engine's events to the view in batches, the selection, the details and the summary.
#include "app/fleetpresenter.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>
#include <utility>

#include "app/intfield.h"
#include "app/settings.h"
#include "base/buildinfo.h"
#include "base/platform.h"
#include "base/timetext.h"
#include "fleet/addressrange.h"
#include "fleet/devicelist.h"
#include "fleet/firmwarecheck.h"
#include "fleet/resultcode.h"
#include "fleet/rollout.h"
#include "fleet/runreport.h"
#include "update/kennunglist.h"
#include "update/updatesession.h"

const char* FleetColumnHeading(FleetColumn column) {
    static const char* const headings[kFleetColumns] = {"Address",     "State",       "Wave", "OEM id",
                                                        "Version",     "Serial",      "Name", "OEM name",
                                                        "Device name", "Library name"};
    return headings[static_cast<size_t>(column)];
}

std::vector<FleetFileType> FleetFileTypes(FleetView::FileKind kind) {
    switch (kind) {
    case FleetView::FileKind::Config:
        return {{"Firmware config files", {"*.cfg"}}, {"All files", {"*"}}};
    case FleetView::FileKind::DeviceList:
        return {{"Device lists", {"*.txt", "*.list"}}, {"All files", {"*"}}};
    case FleetView::FileKind::Report:
        return {{"CSV reports", {"*.csv"}}, {"JSON reports", {"*.json"}}};
    }
    return {};
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
// Devices named in the summary's line per group; its tooltip names more.
constexpr size_t kNamedInLine = 5;
constexpr size_t kNamedInTip = 50;

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

// "14:32:05" in the local time zone.
std::string ClockText(std::chrono::system_clock::time_point when) {
    const std::tm t = LocalTime(std::chrono::system_clock::to_time_t(when));
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

// A refusal as the report says it; the window's option that lifts the OEM rule is -admin.
std::string RefusalText(std::string detail) {
    const std::string cli = "(--admin lifts the rule)";
    if (const size_t at = detail.rfind(cli); at != std::string::npos)
        detail.replace(at, cli.size(), "(-admin lifts the rule)");
    return detail.rfind("refused", 0) == 0 ? detail : "refused: " + detail;
}

// "a, b, c and 4 more".
std::string Names(const std::vector<std::string>& names, size_t most) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < most; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > most)
        text += " and " + std::to_string(names.size() - most) + " more";
    return text;
}

// A command line as a POSIX shell takes it back: words with blanks or quotes in single quotes.
std::string CommandLineText(const std::vector<std::string>& arguments) {
    std::string text = "fwupdate";
    for (const std::string& a : arguments) {
        const bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\$`*?&;|<>()") == std::string::npos;
        std::string word = "'";
        for (const char c : a)
            word += c == '\'' ? std::string("'\\''") : std::string(1, c);
        text += " " + (plain ? a : word + "'");
    }
    return text;
}

} // namespace

FleetPresenter::FleetPresenter(FleetView& view, FleetOptions options)
    : View(view), Options(std::move(options)),
      Admin(std::find(Options.Arguments.begin(), Options.Arguments.end(), "-admin") !=
            Options.Arguments.end()),
      Kept(Options.Settings), VersionConfigs(Kept.ConfigFor) {
    View.SetTitle(Title());
    std::vector<std::string> ranges = Options.Ranges;
    if (!Kept.Inputs.Range.empty()) {
        ranges.erase(std::remove(ranges.begin(), ranges.end(), Kept.Inputs.Range), ranges.end());
        ranges.insert(ranges.begin(), Kept.Inputs.Range);
    } else if (!ranges.empty()) {
        Kept.Inputs.Range = ranges.front();
    }
    View.SetRanges(ranges);
    View.SetInputs(Kept.Inputs);
    View.SetRows(0, {});
    DrawChoices();
    DrawSelection();
    if (!Kept.Config.empty())
        ShowConfig(Kept.Config);
    else
        DrawConfigs();
    View.SetOverall(-1, "");
    View.SetSummary("", "");
    View.SetDetails("");
    View.SetStatus("Scan a range, open a device list or add a device");
    DrawControls();
    SetLogDeviceLines(&Lines);
    View.Bind(this);
}

FleetPresenter::~FleetPresenter() {
    SetLogDeviceLines(nullptr);
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

std::optional<size_t> FleetPresenter::PositionOf(size_t device) const {
    const auto it = std::find(Order.begin(), Order.end(), device);
    if (it == Order.end())
        return std::nullopt;
    return static_cast<size_t>(it - Order.begin());
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
    d.Base = {kStateListed, FleetTone::Plain, ""};
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
    ScanRange = range;
    ScanPort = port;
    ScanAddresses = addresses->Count;
    ScanFound = ScanSilent = 0;
    Kept.Inputs.Range = range;
    Kept.Inputs.Port = port;
    Scan = std::make_unique<ScanRun>(settings, Observer);
    JobDevices.clear();
    StartJob(JobKind::Scan, {}, {});
    if (Busy()) {
        View.SetOverall(0, "scanning " + range + ": 0 of " + std::to_string(ScanAddresses) + ", 0 found");
        View.SetStatus("Scanning " + range + " port " + std::to_string(*portValue) + "...");
    }
}

void FleetPresenter::OnScanAgain(const std::string& range, const std::string& port) {
    if (ScanRange.empty())
        OnScan(range, port);
    else
        OnScan(ScanRange, ScanPort);
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
    // The operator opened the list to work on its devices: they are the selection, new or not.
    std::vector<size_t> listed, added;
    for (const DeviceTarget& t : list.Devices) {
        bool isNew = false;
        const size_t i = AddDevice(t, isNew);
        listed.push_back(i);
        if (isNew)
            added.push_back(i);
    }
    SelectOnly(listed);
    IdentifyNew(added);
    if (added.empty())
        View.SetStatus("No new device: the list's " + std::to_string(listed.size()) +
                       " device(s) are in the table already, and selected");
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
    if (!Devices[i].Selected) {
        Devices[i].Selected = true;
        Anchor = i;
    }
    IdentifyNew(isNew ? std::vector<size_t>{i} : std::vector<size_t>{});
    if (!isNew)
        View.SetStatus("No new device: " + Devices[i].Target.Label +
                       " is in the table already, and selected");
}

void FleetPresenter::IdentifyNew(const std::vector<size_t>& devices) {
    DrawAll();
    DrawSelection();
    if (devices.empty())
        return;
    RunSettings settings;
    settings.Task = FleetTask::Identify;
    settings.Timeout = Options.Timeout;
    StartJob(JobKind::Identify, devices, settings);
    if (Busy())
        View.SetStatus("Asking " + std::to_string(devices.size()) + " device(s) who they are...");
}

// ---- the jobs ----

void FleetPresenter::StartJob(JobKind kind, std::vector<size_t> devices, const RunSettings& settings) {
    JobDevices = std::move(devices);
    for (const size_t i : JobDevices) {
        Devices[i].LogFirst.clear();
        Devices[i].LogLast.clear();
        Devices[i].LogLeftOut = 0;
    }
    {
        std::lock_guard hold(PendingLock);
        Pending.assign(JobDevices.size(), Change{});
        DirtyFlag.assign(JobDevices.size(), false);
        PendingDirty.clear();
        JobLabels.clear();
        for (size_t j = 0; j < JobDevices.size(); ++j)
            JobLabels.emplace(Devices[JobDevices[j]].Target.Label, static_cast<int>(j));
        Found.clear();
        Silent.clear();
        BegunWave.reset();
        Hold.reset();
        JobDone = false;
    }
    Stopping = false;
    StoppedAt.reset();
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
        JobDevices.clear();
        View.InfoBox(error);
        return;
    }
    Job = kind;
    DrawControls();
    DrawSelection();
    Waiter = std::thread([this] {
        // A refresh each time around: the scan's progress and the time left move without an event.
        if (Scan)
            while (!Scan->Wait(std::chrono::milliseconds(200)))
                RequestRefresh();
        else
            while (!Run->Wait(std::chrono::milliseconds(200)))
                RequestRefresh();
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
    if (Job == JobKind::Update)
        StoppedAt = OverallPercent();
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
        const uint32_t checked = Scan->Checked();
        std::string counts = std::to_string(checked) + " of " + std::to_string(ScanAddresses) + ", " +
                             std::to_string(ScanFound) + " found";
        if (ScanSilent > 0)
            counts += ", " + std::to_string(ScanSilent) + " did not identify";
        View.SetOverall(ScanAddresses == 0 ? 100 : static_cast<int>(checked * 100ull / ScanAddresses),
                        (Stopping ? "scan stopped, " : "scanned ") + ScanRange + ": " + counts);
        text = std::string(Stopping ? "Scan stopped: " : "Scan ended: ") + std::to_string(Devices.size()) +
               " device(s) in the table";
    } else if (Run) {
        const std::vector<DeviceRecord> records = Run->Records();
        for (size_t j = 0; j < records.size() && j < JobDevices.size(); ++j)
            Devices[JobDevices[j]].Record = records[j];
        if (kind == JobKind::Update) {
            Records = records;
            LastRun.End = std::chrono::system_clock::now();
            LastRun.ExitCode = Run->Code();
        } else {
            text = std::string(Stopping ? "Stopped" : "Done") + ": " + std::to_string(records.size()) +
                   " device(s) asked";
        }
    }
    Run.reset();
    Scan.reset();
    Job = JobKind::None;
    const std::vector<size_t> ended = std::move(JobDevices);
    JobDevices.clear();
    for (const size_t i : ended)
        Devices[i].Live.reset();
    {
        std::lock_guard hold(PendingLock);
        JobLabels.clear();
    }
    if (kind == JobKind::Update) {
        const std::string end = EndText(ended);
        View.SetOverall(StoppedAt.value_or(100), end);
        DrawSummary(ended, end);
        text = "Update " + end + (HoldAt.empty() ? "" : "; held at " + HoldAt + ": " + HoldWhy) +
               "; report: " +
               (Options.AutoReportPath.empty() ? std::string("none written") : Options.AutoReportPath);
    }
    DrawRows(ended);
    Stopping = false;
    DrawControls();
    DrawSelection();
    DrawDetails();
    View.SetStatus(text);
    if (CloseWhenEnded) {
        CloseWhenEnded = false;
        KeepInputs();
        Post([this] { View.Close(); });
    }
}

// ---- how an update ended ----

namespace {

constexpr size_t kGroups = 8; // the values of FleetPresenter::Group

} // namespace

std::string FleetPresenter::EndText(const std::vector<size_t>& devices) const {
    size_t counts[kGroups] = {};
    for (const size_t i : devices)
        ++counts[static_cast<size_t>(Devices[i].Last)];
    auto count = [&](Group g) { return counts[static_cast<size_t>(g)]; };
    std::string text =
        StoppedAt ? "stopped at " + std::to_string(*StoppedAt) + " %: " : std::string("ended: ");
    text += std::to_string(count(Group::Ok)) + " OK";
    const std::pair<Group, const char*> others[] = {
        {Group::Incomplete, " incomplete"}, {Group::NotBegun, " not begun"}, {Group::Held, " held"},
        {Group::Failed, " failed"},         {Group::Refused, " refused"},    {Group::Skipped, " skipped"}};
    // A stop names every group; held and skipped devices only when there are any (a rollout's own).
    for (const auto& [group, word] : others)
        if (count(group) > 0 || (StoppedAt && group != Group::Held && group != Group::Skipped))
            text += ", " + std::to_string(count(group)) + word;
    return text;
}

void FleetPresenter::DrawSummary(const std::vector<size_t>& devices, const std::string& end) {
    // Each group's devices by name, as EndText counts them; a refused one with its reason as well.
    std::vector<std::string> names[kGroups];
    std::vector<std::string> refusals;
    for (const size_t i : devices) {
        const Device& d = Devices[i];
        names[static_cast<size_t>(d.Last)].push_back(d.Target.Label);
        if (d.Last == Group::Refused && d.Result)
            refusals.push_back(d.Target.Label + " (" + d.Result->Text + ")");
    }
    const auto of = [&names](Group g) { return &names[static_cast<size_t>(g)]; };
    // The line: what ended how, then the devices to update again; the tooltip all of it.
    std::string action;
    const std::pair<const std::vector<std::string>*, const char*> todo[] = {
        {of(Group::Incomplete), "flash incomplete"},
        {of(Group::Failed), "failed"},
        {of(Group::NotBegun), "not begun"},
        {of(Group::Held), "held"},
        {of(Group::Skipped), "skipped"}};
    for (const auto& [list, word] : todo)
        if (!list->empty())
            action += std::string(action.empty() ? "" : "; ") + word + ": " + Names(*list, kNamedInLine);
    const std::string when = LastRun.End ? ClockText(*LastRun.End) : std::string();
    std::string text = "Last update (" + when + ") " + end + ". ";
    if (!HoldAt.empty())
        text += "The rollout held the rest at " + HoldAt + ". ";
    text += action.empty() ? "Nothing left to update." : "Update again: " + action;
    std::string tip = "Last update, " + (LastRun.Start ? "started " + ClockText(*LastRun.Start) + ", " : "") +
                      (StoppedAt ? "stopped " : "ended ") + when + "\n" + end;
    if (!HoldAt.empty())
        tip += "\nThe rollout held the rest at " + HoldAt + ": " + HoldWhy;
    const std::pair<const std::vector<std::string>*, const char*> all[] = {
        {of(Group::Incomplete), "Flash incomplete, update it again"},
        {of(Group::Failed), "Failed"},
        {of(Group::NotBegun), "Not begun"},
        {of(Group::Held), "Held by the rollout, not begun"},
        {of(Group::Skipped), "Skipped, no configuration for their version"},
        {&refusals, "Refused"},
        {of(Group::Ok), "OK"}};
    for (const auto& [list, title] : all)
        if (!list->empty())
            tip += "\n" + std::string(title) + ": " + Names(*list, kNamedInTip);
    if (!Options.AutoReportPath.empty())
        tip += "\nReport: " + Options.AutoReportPath;
    View.SetSummary(text, tip);
}

int FleetPresenter::OverallPercent() const {
    if (JobDevices.empty())
        return 100;
    double sum = 0;
    for (const size_t i : JobDevices) {
        const Device& d = Devices[i];
        sum += d.Ended       ? 1.0
               : d.Pages > 0 ? static_cast<double>(d.Written) / static_cast<double>(d.Pages)
                             : 0.0;
    }
    return static_cast<int>(sum * 100.0 / static_cast<double>(JobDevices.size()));
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

void FleetPresenter::DeviceLines::OnDeviceLine(const std::string& device, std::string_view line) {
    std::lock_guard hold(P.PendingLock);
    const auto it = P.JobLabels.find(device);
    if (it == P.JobLabels.end())
        return;
    const auto i = static_cast<size_t>(it->second);
    if (i >= P.Pending.size())
        return;
    std::vector<std::string>& log = P.Pending[i].Log;
    if (log.size() >= kDeviceLogFirst + kDeviceLogLast)
        log.erase(log.begin());
    log.emplace_back(line);
    if (!P.DirtyFlag[i]) {
        P.DirtyFlag[i] = true;
        P.PendingDirty.push_back(it->second);
    }
}

namespace {

std::string AttemptOf(int attempt, int attempts) {
    return attempt > 1 ? " (attempt " + std::to_string(attempt) + " of " + std::to_string(attempts) + ")"
                       : std::string();
}

} // namespace

void FleetPresenter::EngineEvents::OnConnecting(const ConnectingEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Attempt = e.Attempt;
        c.Percent = -1;
        c.State = "connecting";
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
        c.Progressed = true;
        c.Started = true;
        c.Pages = e.Pages;
        c.Written = 0;
        c.Percent = 0;
        c.State = "updating 0 %";
    });
}

void FleetPresenter::EngineEvents::OnProgress(const ProgressEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Progressed = true;
        c.Pages = e.Pages;
        c.Written = e.Written;
        c.Percent = e.Pages > 0 ? static_cast<int>(e.Written * 100 / e.Pages) : 0;
        c.State = "updating " + std::to_string(c.Percent) + " %";
    });
}

void FleetPresenter::EngineEvents::OnRetry(const RetryEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) {
        c.Progressed = true;
        c.Percent = -1;
        c.Written = 0;
        c.Attempts.push_back(std::to_string(e.Attempt - 1) + ": " + e.Reason + " (" + std::to_string(e.Code) +
                             ") " + e.Detail);
        c.State =
            "retry " + std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) + ": " + e.Detail;
    });
}

void FleetPresenter::EngineEvents::OnDone(const DoneEvent& e) {
    P.Note(e.Device.Index, [&](Change& c) { c.Done = e; });
}

void FleetPresenter::EngineEvents::OnWave(const WaveEvent& e) {
    {
        std::lock_guard hold(P.PendingLock);
        P.BegunWave = e;
    }
    // Its devices leave "waiting for wave N"; their own events follow.
    for (const FleetDevice& d : e.Devices)
        P.Note(d.Index, [&](Change& c) {
            c.Percent = -1;
            c.State = "queued";
        });
}

void FleetPresenter::EngineEvents::OnHold(const HoldEvent& e) {
    {
        std::lock_guard hold(P.PendingLock);
        P.Hold = e;
    }
    P.RequestRefresh();
}

void FleetPresenter::EngineEvents::OnFound(const FoundEvent& e) {
    {
        std::lock_guard hold(P.PendingLock);
        P.Found.push_back(e);
    }
    P.RequestRefresh();
}

void FleetPresenter::EngineEvents::OnUnidentified(const UnidentifiedEvent& e) {
    {
        std::lock_guard hold(P.PendingLock);
        P.Silent.push_back(e);
    }
    P.RequestRefresh();
}

// ---- the refresh (UI thread) ----

void FleetPresenter::Refresh() {
    std::vector<std::pair<int, Change>> changes;
    std::vector<FoundEvent> found;
    std::vector<UnidentifiedEvent> silent;
    std::optional<WaveEvent> wave;
    std::optional<HoldEvent> held;
    bool done = false;
    {
        std::lock_guard hold(PendingLock);
        wave.swap(BegunWave);
        held.swap(Hold);
        for (const int i : PendingDirty) {
            changes.emplace_back(i, std::move(Pending[static_cast<size_t>(i)]));
            Pending[static_cast<size_t>(i)] = Change{};
            DirtyFlag[static_cast<size_t>(i)] = false;
        }
        PendingDirty.clear();
        found.swap(Found);
        silent.swap(Silent);
        done = JobDone;
        JobDone = false;
        RefreshScheduled = false;
    }
    LastRefresh = std::chrono::steady_clock::now();

    std::vector<size_t> changed;
    bool added = false;
    for (const FoundEvent& f : found) {
        bool isNew = false;
        const size_t i = AddDevice(f.Device, isNew);
        Devices[i].Identity = f.Identity;
        Devices[i].Base = {kStateFound, FleetTone::Plain, ""};
        changed.push_back(i);
        added = added || isNew;
        ++ScanFound;
    }
    for (const UnidentifiedEvent& u : silent) {
        bool isNew = false;
        const size_t i = AddDevice(u.Device, isNew);
        Devices[i].Base = {"did not identify: " + u.Detail, FleetTone::Failed,
                           "took the connection but did not identify: " + u.Detail};
        changed.push_back(i);
        added = added || isNew;
        ++ScanSilent;
    }
    const bool update = Job == JobKind::Update;
    if (update)
        ApplyRollout(wave, held);
    bool currentChanged = false;
    for (auto& [index, c] : changes) {
        if (static_cast<size_t>(index) >= JobDevices.size())
            continue;
        const size_t di = JobDevices[static_cast<size_t>(index)];
        Device& d = Devices[di];
        changed.push_back(di);
        currentChanged = currentChanged || Current == di;
        if (c.Identity)
            d.Identity = *c.Identity;
        if (c.Attempt > 0)
            d.Attempt = c.Attempt;
        if (c.State) {
            // Which attempt it is, once there is a second one (a retry's own text counts them already).
            std::string state = *c.State;
            if (state.rfind("retry ", 0) != 0)
                state += AttemptOf(d.Attempt, JobAttempts);
            d.Live = Shown{state, c.Tone, *c.State};
            d.Percent = c.Percent;
        }
        d.Started = d.Started || c.Started;
        if (c.Progressed) {
            d.Pages = c.Pages > 0 ? c.Pages : d.Pages;
            d.Written = c.Written;
        }
        d.Attempts.insert(d.Attempts.end(), c.Attempts.begin(), c.Attempts.end());
        for (std::string& line : c.Log) {
            if (d.LogFirst.size() < kDeviceLogFirst) {
                d.LogFirst.push_back(std::move(line));
                continue;
            }
            if (d.LogLast.size() >= kDeviceLogLast) {
                d.LogLast.pop_front();
                ++d.LogLeftOut;
            }
            d.LogLast.push_back(std::move(line));
        }
        if (c.Done) {
            ApplyDone(d, *c.Done, update);
            // The attempts as the engine kept them, for the details.
            if (Current == di && Run)
                if (const std::vector<DeviceRecord> records = Run->Records();
                    static_cast<size_t>(index) < records.size())
                    d.Record = records[static_cast<size_t>(index)];
        }
    }

    if (!changed.empty())
        DrawRows(changed);
    if (added) {
        DrawChoices();
        DrawSelection();
    } else if (!found.empty()) {
        DrawChoices();
    }
    if (currentChanged)
        DrawDetails();
    if (Job == JobKind::Scan && Scan) {
        const uint32_t checked = Scan->Checked();
        std::string text = "scanning " + ScanRange + ": " + std::to_string(checked) + " of " +
                           std::to_string(ScanAddresses) + ", " + std::to_string(ScanFound) + " found";
        if (ScanSilent > 0)
            text += ", " + std::to_string(ScanSilent) + " did not identify";
        View.SetOverall(ScanAddresses == 0 ? 0 : static_cast<int>(checked * 100ull / ScanAddresses), text);
    }
    if (update && !done) {
        size_t ended = 0;
        for (const size_t i : JobDevices)
            ended += Devices[i].Ended ? 1 : 0;
        const int percent = StoppedAt.value_or(OverallPercent());
        std::string text =
            std::to_string(ended) + " of " + std::to_string(JobDevices.size()) + " devices ended";
        const double share = percent / 100.0;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - JobStarted).count();
        if (Waves > 1)
            text += HoldAt.empty() ? ", wave " + std::to_string(Wave) + " of " + std::to_string(Waves)
                                   : ", the rest held";
        if (Stopping)
            text = "stopping at " + std::to_string(percent) + " %: " + text;
        else if (share > 0.01 && share < 1.0)
            text += ", about " + Minutes(elapsed * (1.0 - share) / share) + " left";
        View.SetOverall(percent, text);
    }
    if (done)
        JobEnded();
}

void FleetPresenter::ApplyRollout(const std::optional<WaveEvent>& wave,
                                  const std::optional<HoldEvent>& hold) {
    if (wave) {
        Wave = wave->Wave;
        Waves = wave->Waves;
        if (HoldAt.empty() && !Stopping)
            View.SetStatus("Updating " + std::to_string(JobDevices.size()) + " device(s): wave " +
                           std::to_string(Wave) + " of " + std::to_string(Waves) + " (" +
                           std::to_string(wave->Devices.size()) + " device(s)) began at " +
                           ClockText(wave->Time));
    }
    if (hold && HoldAt.empty()) {
        // "held: 3 devices failed (...), more than the 2 the rollout allows; not updated": the why.
        HoldWhy = hold->Detail;
        if (HoldWhy.rfind("held: ", 0) == 0)
            HoldWhy.erase(0, 6);
        if (const std::string tail = "; not updated";
            HoldWhy.size() > tail.size() &&
            HoldWhy.compare(HoldWhy.size() - tail.size(), tail.size(), tail) == 0)
            HoldWhy.resize(HoldWhy.size() - tail.size());
        HoldAt = ClockText(hold->Time);
        View.SetStatus("The rollout held the rest at " + HoldAt + ": " + HoldWhy +
                       "; the devices being programmed finish, no other begins");
    }
}

void FleetPresenter::ApplyDone(Device& d, const DoneEvent& e, bool update) {
    d.Ended = true;
    d.Percent = -1;
    d.Live.reset();
    if (!update) {
        // Asked who it is: the answer, or why none came; an update's result stays as it was.
        if (e.Result == "ok" && e.Code == kExitOk)
            d.Base = {kStateFound, FleetTone::Plain, ""};
        else if (e.Result != "interrupted")
            d.Base = {"no answer: " + e.Detail, FleetTone::Failed, "no answer: " + e.Detail};
        return;
    }
    // Never OK unless the device's whole sequence ended without an error: the end decides, never the pages
    // written. A flash left incomplete says so whatever the result.
    const bool ok = e.Result == "ok" && e.Code == kExitOk;
    d.FlashIncomplete = e.Flash == kFlashIncomplete;
    d.LastResult = e.Result;
    std::string how;
    FleetTone tone = FleetTone::Failed;
    std::string tip;
    if (ok) {
        d.Last = Group::Ok;
        how = d.Attempt > 1 ? "OK after " + std::to_string(d.Attempt) + " attempts" : "OK";
        tone = FleetTone::Ok;
    } else if (e.Result == kResultHeld) {
        // The detail names the threshold and the failures: "held: 3 devices failed (...), more than ...".
        d.Last = Group::Held;
        how = e.Detail;
        tone = FleetTone::Held;
        tip = how + "\nNothing was written: \"Update the rest\" takes it.";
    } else if (e.Result == kResultSkipped) {
        d.Last = Group::Skipped;
        how = e.Detail;
        tone = FleetTone::Skipped;
        tip = how + "\nGive its version a configuration (By version…), or choose one for all.";
    } else if (e.Result == "interrupted") {
        d.Last = Group::NotBegun;
        how = d.FlashIncomplete ? "stopped, update it again" : "stopped: not begun, nothing written";
        tone = FleetTone::Stopped;
    } else if (e.Code == kExitNoConnection) {
        d.Last = Group::Failed;
        how = "no answer: " + e.Detail;
    } else if (IsRefusal(e.Code)) {
        d.Last = Group::Refused;
        how = RefusalText(e.Detail);
        tone = FleetTone::Refused;
    } else {
        d.Last = Group::Failed;
        how = "failed: " + e.Detail;
    }
    // The row's text may be cut; its tooltip holds all of it.
    if (tip.empty())
        tip = how;
    if (d.FlashIncomplete) {
        d.Last = Group::Incomplete;
        how = "incomplete: " + how;
        tone = FleetTone::Incomplete;
        tip = "The flash is incomplete: update it again.\n" + tip;
    }
    d.Result = Shown{how, tone, tip};
}

// ---- drawing ----

const FleetPresenter::Shown& FleetPresenter::ShownOf(const Device& d) const {
    if (d.Live)
        return *d.Live;
    if (d.Result)
        return *d.Result;
    return d.Base;
}

FleetRow FleetPresenter::RowOf(const Device& d) const {
    FleetRow row;
    const DeviceIdentity& id = d.Identity;
    auto cell = [&row](FleetColumn c) -> std::string& { return row.Cells[static_cast<size_t>(c)]; };
    const Shown& state = ShownOf(d);
    cell(FleetColumn::Address) = d.Target.Label;
    cell(FleetColumn::State) = state.Text;
    cell(FleetColumn::Wave) = d.Wave > 0 ? std::to_string(d.Wave) : "";
    cell(FleetColumn::Kennung) = KennungCell(id);
    cell(FleetColumn::Version) = id.Version.value_or("");
    cell(FleetColumn::Serial) = id.Serial ? std::to_string(*id.Serial) : "";
    cell(FleetColumn::Name) = id.Name.value_or("");
    cell(FleetColumn::OemName) = id.OemName.value_or("");
    cell(FleetColumn::DeviceName) = id.DeviceName.value_or("");
    cell(FleetColumn::LibraryName) = id.LibraryName.value_or("");
    row.Selected = d.Selected;
    row.Percent = d.Percent;
    row.Tone = state.Tone;
    row.Tip = state.Tip.empty() ? state.Text : state.Tip;
    return row;
}

void FleetPresenter::DrawRows(const std::vector<size_t>& devices) {
    std::vector<size_t> position(Devices.size());
    for (size_t p = 0; p < Order.size(); ++p)
        position[Order[p]] = p;
    std::set<size_t> positions;
    for (const size_t i : devices)
        if (i < Devices.size())
            positions.insert(position[i]);
    std::vector<std::pair<size_t, FleetRow>> rows;
    rows.reserve(positions.size());
    for (const size_t p : positions)
        rows.emplace_back(p, RowOf(Devices[Order[p]]));
    View.SetRows(Order.size(), rows);
}

void FleetPresenter::DrawAll() {
    std::vector<std::pair<size_t, FleetRow>> rows;
    rows.reserve(Order.size());
    for (size_t p = 0; p < Order.size(); ++p)
        rows.emplace_back(p, RowOf(Devices[Order[p]]));
    View.SetRows(Order.size(), rows);
    DrawChoices();
}

void FleetPresenter::DrawChoices() {
    std::set<std::string> found;
    for (const Device& d : Devices)
        if (d.Identity.Version)
            found.insert(*d.Identity.Version);
    std::vector<std::string> versions(found.begin(), found.end());
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return VersionOrder(a) < VersionOrder(b); });
    std::vector<std::string> choices{kChoiceFailed,  kChoiceIncomplete, kChoiceNotBegun, kChoiceHeld,
                                     kChoiceSkipped, kChoiceRefused,    kChoiceNotOk};
    choices.insert(choices.end(), versions.begin(), versions.end());
    if (choices != Choices) {
        Choices = choices;
        View.SetSelectChoices(Choices);
    }
}

void FleetPresenter::DrawSelection() {
    size_t selected = 0;
    for (const Device& d : Devices)
        selected += d.Selected ? 1 : 0;
    std::string text = std::to_string(selected) + " of " + std::to_string(Devices.size()) + " selected";
    if (Job == JobKind::Update)
        text += " (kept while the update runs)";
    if (text != SelectionText) {
        SelectionText = text;
        View.SetSelection(text);
    }
}

void FleetPresenter::DrawControls() {
    FleetControls c;
    c.Busy = Job != JobKind::None;
    c.SelectionLocked = Job == JobKind::Update;
    if (!c.Busy) {
        for (const Device& d : Devices) {
            if (!d.InLastRun)
                continue;
            c.RetryFailed = c.RetryFailed || RetriedByRetryFailed(d);
            c.UpdateRest = c.UpdateRest || LeftToUpdate(d);
        }
        c.SaveReport = !Records.empty();
    }
    if (!(c == Controls) || !ControlsDrawn) {
        Controls = c;
        ControlsDrawn = true;
        View.SetControls(c);
    }
}

void FleetPresenter::DrawDetails() {
    View.SetDetails(Current && *Current < Devices.size() ? DetailsOf(Devices[*Current]) : std::string());
}

std::string FleetPresenter::DetailsOf(const Device& d) const {
    const DeviceIdentity& id = d.Identity;
    std::string text = d.Target.Label + "\n";
    text += "State: " + ShownOf(d).Text + "\n";
    if (d.FlashIncomplete)
        text += "Flash: incomplete, update it again\n";
    if (d.Wave > 0)
        text += "Wave: " + std::to_string(d.Wave) + "\n";
    std::string who;
    auto add = [&who](const std::string& part) { who += (who.empty() ? "" : ", ") + part; };
    if (id.Kennung)
        add("OEM id " + KennungCell(id));
    if (id.Version)
        add(*id.Version);
    if (id.Serial)
        add("serial " + std::to_string(*id.Serial));
    if (id.Mode)
        add("mode " + std::to_string(*id.Mode));
    if (!who.empty())
        text += "Reports: " + who + "\n";
    const std::pair<const char*, const std::optional<std::string>*> names[] = {
        {"Name", &id.Name},
        {"OEM name", &id.OemName},
        {"Device name", &id.DeviceName},
        {"Library name", &id.LibraryName}};
    for (const auto& [title, value] : names)
        if (*value && !(*value)->empty())
            text += std::string(title) + ": " + **value + "\n";
    const bool running =
        Job == JobKind::Update && std::find(JobDevices.begin(), JobDevices.end(),
                                            static_cast<size_t>(&d - Devices.data())) != JobDevices.end();
    if (running && !d.Ended) {
        text +=
            "Update under way: attempt " + std::to_string(d.Attempt) + " of " + std::to_string(JobAttempts);
        if (d.Pages > 0)
            text += ", " + std::to_string(d.Written) + " of " + std::to_string(d.Pages) + " pages sent";
        text += "\n";
        for (const std::string& a : d.Attempts)
            text += "  attempt " + a + "\n";
    } else if (d.Record && d.InLastRun) {
        const DeviceRecord& r = *d.Record;
        text += "Last update: " + r.Result;
        if (r.Start)
            text += ", started " + ClockText(*r.Start);
        if (r.End)
            text += ", ended " + ClockText(*r.End);
        if (r.Start && r.End)
            text += " (" + SecondsText(std::chrono::duration<double>(*r.End - *r.Start).count()) + ")";
        text += "\n";
        if (!r.Config.empty())
            text += "Configuration: " + r.Config + "\n";
        for (const AttemptRecord& a : r.AttemptLog)
            text += "  attempt " + std::to_string(a.Number) + ": " + a.Result + " (" +
                    std::to_string(a.Code) + ") " + a.Detail + "\n";
        if (r.AttemptLog.empty() && !r.Detail.empty()) // held or skipped before any attempt
            text += "  " + r.Detail + "\n";
        if (r.Pages)
            text += "Pages: " + std::to_string(*r.Pages) + ", sent " +
                    std::to_string(r.PagesSent.value_or(0)) + ", acknowledged by the device " +
                    std::to_string(r.PagesAcknowledged.value_or(0)) + "\n";
    }
    if (!d.LogFirst.empty()) {
        text += "Log:\n";
        for (const std::string& line : d.LogFirst)
            text += "  " + line + "\n";
        if (d.LogLeftOut > 0)
            text += "  (" + std::to_string(d.LogLeftOut) + " lines left out: the log file holds them)\n";
        for (const std::string& line : d.LogLast)
            text += "  " + line + "\n";
    }
    return text;
}

// ---- selection and order ----

bool FleetPresenter::RetriedByRetryFailed(const Device& d) {
    return d.InLastRun &&
           (d.LastResult == "failed" || d.LastResult == "no-connection" || d.LastResult == "internal");
}

bool FleetPresenter::LeftToUpdate(const Device& d) {
    // As a redo takes what a report left: not OK, and not refused by the OEM or serial rule.
    return d.InLastRun && d.Last != Group::Ok && d.Last != Group::None && d.LastResult != "oem-rule" &&
           d.LastResult != "serial-rule";
}

void FleetPresenter::OnRowChecked(size_t position, bool selected, bool extend) {
    if (position >= Order.size())
        return;
    if (Job == JobKind::Update) {
        // The run's devices are its own: the box is drawn as it was, and the reason shown.
        DrawRows({Order[position]});
        View.SetStatus("The selection is kept while the update runs: Stop ends it");
        return;
    }
    size_t from = position, to = position;
    if (extend && Anchor)
        if (const std::optional<size_t> at = PositionOf(*Anchor)) {
            from = std::min(*at, position);
            to = std::max(*at, position);
        }
    std::vector<size_t> changed;
    for (size_t p = from; p <= to; ++p) {
        Device& d = Devices[Order[p]];
        if (d.Selected != selected) {
            d.Selected = selected;
            changed.push_back(Order[p]);
        }
    }
    if (!extend)
        Anchor = Order[position];
    // Drawn also when nothing changed: the view's box follows the selection, not the click.
    DrawRows(changed.empty() ? std::vector<size_t>{Order[position]} : changed);
    DrawSelection();
}

void FleetPresenter::OnCurrentRow(std::optional<size_t> position) {
    const std::optional<size_t> device =
        position && *position < Order.size() ? std::optional<size_t>(Order[*position]) : std::nullopt;
    if (device == Current)
        return;
    Current = device;
    DrawDetails();
}

void FleetPresenter::SetSelected(const std::function<bool(const Device&)>& selected) {
    if (Job == JobKind::Update) {
        View.SetStatus("The selection is kept while the update runs: Stop ends it");
        return;
    }
    std::vector<size_t> changed;
    for (size_t i = 0; i < Devices.size(); ++i) {
        Device& d = Devices[i];
        const bool s = selected(d);
        if (s != d.Selected) {
            d.Selected = s;
            changed.push_back(i);
        }
    }
    if (!changed.empty())
        DrawRows(changed);
    DrawSelection();
}

void FleetPresenter::SelectOnly(const std::vector<size_t>& devices) {
    const std::set<size_t> chosen(devices.begin(), devices.end());
    SetSelected([&](const Device& d) { return chosen.count(static_cast<size_t>(&d - Devices.data())) != 0; });
}

void FleetPresenter::OnSelectAll() {
    SetSelected([](const Device&) { return true; });
}

void FleetPresenter::OnSelectNone() {
    SetSelected([](const Device&) { return false; });
}

void FleetPresenter::OnSelect(const std::string& choice) {
    if (choice == kChoiceFailed)
        SetSelected([](const Device& d) { return d.Last == Group::Failed; });
    else if (choice == kChoiceIncomplete)
        SetSelected([](const Device& d) { return d.FlashIncomplete; });
    else if (choice == kChoiceNotBegun)
        SetSelected([](const Device& d) { return d.Last == Group::NotBegun; });
    else if (choice == kChoiceHeld)
        SetSelected([](const Device& d) { return d.Last == Group::Held; });
    else if (choice == kChoiceSkipped)
        SetSelected([](const Device& d) { return d.Last == Group::Skipped; });
    else if (choice == kChoiceRefused)
        SetSelected([](const Device& d) { return d.Last == Group::Refused; });
    else if (choice == kChoiceNotOk)
        SetSelected([](const Device& d) { return d.Last != Group::Ok; });
    else
        SetSelected([&choice](const Device& d) { return d.Identity.Version == choice; });
}

void FleetPresenter::OnRemove(std::optional<size_t> current) {
    if (Busy()) {
        View.SetStatus("Rows can be removed once the " +
                       std::string(Job == JobKind::Update ? "update" : "scan") + " has ended");
        return;
    }
    std::vector<bool> gone(Devices.size(), false);
    size_t count = 0;
    for (size_t i = 0; i < Devices.size(); ++i)
        if (Devices[i].Selected) {
            gone[i] = true;
            ++count;
        }
    if (count == 0 && current && *current < Order.size()) {
        gone[Order[*current]] = true;
        count = 1;
    }
    if (count == 0) {
        View.SetStatus("Select the devices to remove");
        return;
    }
    std::vector<size_t> newIndex(Devices.size(), SIZE_MAX);
    std::vector<Device> kept;
    for (size_t i = 0; i < Devices.size(); ++i)
        if (!gone[i]) {
            newIndex[i] = kept.size();
            kept.push_back(std::move(Devices[i]));
        }
    Devices = std::move(kept);
    std::vector<size_t> order;
    for (const size_t i : Order)
        if (newIndex[i] != SIZE_MAX)
            order.push_back(newIndex[i]);
    Order = std::move(order);
    auto remap = [&newIndex](std::optional<size_t>& i) {
        if (i)
            i = newIndex[*i] == SIZE_MAX ? std::nullopt : std::optional<size_t>(newIndex[*i]);
    };
    remap(Current);
    remap(Anchor);
    DrawAll();
    DrawSelection();
    DrawControls();
    DrawDetails();
    View.SetStatus("Removed " + std::to_string(count) + " device(s) from the table");
}

void FleetPresenter::OnSort(FleetColumn column, bool ascending) {
    auto key = [this, column](const Device& d) {
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
        case FleetColumn::Wave:
            return std::make_tuple(AddressOrder({}),
                                   number(d.Wave > 0 ? std::optional<int32_t>(d.Wave) : std::nullopt),
                                   VersionOrder({}), std::string());
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
            text = ShownOf(d).Text;
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
    ShowConfig(*file);
}

namespace {

// A configuration as the window shows it: its verdict first and short, then what it holds, and all of it
// for a tooltip.
struct ConfigShown {
    bool Ok = false;
    std::string Verdict, Name, Text, Tip;
};

ConfigShown DescribeConfig(const std::string& path) {
    const FirmwareCheck check = CheckFirmware(path);
    ConfigShown c;
    c.Ok = check.Code == kExitOk;
    c.Name = PathToUtf8(PathFromUtf8(path).filename());
    if (c.Ok)
        c.Verdict = "image checks out";
    else if (check.Result == "invalid-binary")
        c.Verdict = "image checksum differs";
    else if (check.Result == "image-too-large")
        c.Verdict = "image too large";
    else if (check.Result == "image-not-found")
        c.Verdict = "image not found";
    else
        c.Verdict = "not a valid configuration";
    if (!check.Valid) {
        c.Text = c.Verdict + ": " + c.Name;
        c.Tip = path + "\n" + check.Reason;
        return c;
    }
    c.Text = c.Verdict + ": " + c.Name + ", version " + std::to_string(check.Config.FwVersion) +
             " revision " + std::to_string(check.Config.FwRevision) + ", image " + check.Config.Filename;
    if (check.ImageFound)
        c.Text += " (" + std::to_string(check.ImageBytes) + " bytes)";
    if (check.Config.UseSeriennummer != 0)
        c.Text += ", for serial " + std::to_string(check.Config.Seriennummer) + " only";
    c.Tip = path + "\nimage " + check.Image;
    c.Tip += "\n" + (c.Ok ? std::string("The image checks out.") : check.Reason);
    return c;
}

// Blanks between the sizes are let through: "2, 25%, 100%" is "2,25%,100%".
std::string WithoutBlanks(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; }),
               text.end());
    return text;
}

} // namespace

void FleetPresenter::ShowConfig(const std::string& path) {
    ConfigPath = path;
    Kept.Config = path;
    DrawConfigs();
}

void FleetPresenter::DrawConfigs() {
    if (VersionConfigs.empty()) {
        if (ConfigPath.empty()) {
            View.SetConfigInfo("No configuration file chosen", "");
            return;
        }
        const ConfigShown all = DescribeConfig(ConfigPath);
        View.SetConfigInfo(all.Text, all.Tip);
        return;
    }
    // By version: the first verdict that is not good (or that all are), then each version's file and the
    // one for all; the tooltip each in full.
    std::string verdict, files, tip;
    auto add = [&](const std::string& label, const std::string& path) {
        const ConfigShown c = DescribeConfig(path);
        if (!c.Ok && verdict.empty())
            verdict = label + ": " + c.Verdict;
        files += (files.empty() ? "" : ", ") + label + " " + c.Name;
        tip += (tip.empty() ? "" : "\n\n") + label + ": " + c.Text + "\n" + c.Tip;
    };
    for (const auto& [version, path] : VersionConfigs)
        add(version, path);
    if (!ConfigPath.empty())
        add("others", ConfigPath);
    else
        files += ", others skipped";
    if (ConfigPath.empty())
        tip += "\n\nOther versions: no configuration, their devices are skipped";
    if (verdict.empty())
        verdict = VersionConfigs.size() + (ConfigPath.empty() ? 0 : 1) > 1 ? "images check out"
                                                                           : "image checks out";
    View.SetConfigInfo(verdict + ": " + files, tip);
}

void FleetPresenter::OnConfigByVersion() {
    if (Busy())
        return;
    // The versions the table's devices report, and those with a configuration of their own, by number.
    std::map<std::string, size_t> devices;
    for (const Device& d : Devices)
        if (d.Identity.Version)
            ++devices[*d.Identity.Version];
    for (const auto& [version, path] : VersionConfigs)
        devices.try_emplace(version, 0);
    if (devices.empty()) {
        View.InfoBox("No device in the table has reported its version yet: scan, open a list or add devices "
                     "first");
        return;
    }
    std::vector<std::string> versions;
    for (const auto& [version, count] : devices)
        versions.push_back(version);
    std::sort(versions.begin(), versions.end(),
              [](const std::string& a, const std::string& b) { return VersionOrder(a) < VersionOrder(b); });
    // Each version with its configuration (choosing one takes a file), then each one of its own to let go.
    std::vector<std::string> entries;
    std::vector<std::pair<std::string, bool>> actions; // by entry: the version, and whether it chooses
    for (const std::string& v : versions) {
        const size_t n = devices[v];
        std::string entry =
            v + " (" + (n == 1 ? std::string("1 device") : std::to_string(n) + " devices") + "): ";
        if (const auto own = VersionConfigs.find(v); own != VersionConfigs.end()) {
            const ConfigShown c = DescribeConfig(own->second);
            entry += c.Verdict + ": " + c.Name;
        } else {
            entry += ConfigPath.empty()
                         ? "no configuration, skipped"
                         : "the one for all (" + PathToUtf8(PathFromUtf8(ConfigPath).filename()) + ")";
        }
        entries.push_back(entry + "…");
        actions.emplace_back(v, true);
    }
    bool separated = false;
    for (const std::string& v : versions)
        if (VersionConfigs.count(v) != 0) {
            if (!separated) {
                entries.emplace_back();
                actions.emplace_back();
                separated = true;
            }
            entries.push_back(v + ": " +
                              (ConfigPath.empty() ? "none of its own, skipped" : "the one for all"));
            actions.emplace_back(v, false);
        }
    const std::optional<size_t> chosen = View.ChooseFromMenu(entries);
    if (!chosen || *chosen >= actions.size() || actions[*chosen].first.empty())
        return;
    const auto& [version, choose] = actions[*chosen];
    if (choose) {
        const std::optional<std::string> file = View.ChooseFile(FleetView::FileKind::Config, CfgFolder);
        if (!file)
            return;
        CfgFolder = PathToUtf8(PathFromUtf8(*file).parent_path());
        VersionConfigs[version] = *file;
        View.SetStatus("Devices that report " + version + " take " +
                       PathToUtf8(PathFromUtf8(*file).filename()));
    } else {
        VersionConfigs.erase(version);
        View.SetStatus(
            "Devices that report " + version + " take " +
            (ConfigPath.empty() ? std::string("no configuration: they are skipped") : "the one for all"));
    }
    Kept.ConfigFor = VersionConfigs;
    DrawConfigs();
}

void FleetPresenter::OnUpdateSelected(int jobs, int retries, const std::string& waves,
                                      const std::string& maxFailed) {
    if (Busy())
        return;
    std::vector<size_t> selected;
    for (const size_t i : Order)
        if (Devices[i].Selected)
            selected.push_back(i);
    UpdateDevices(std::move(selected), jobs, retries, waves, maxFailed, false);
}

void FleetPresenter::OnRetryFailed(int jobs, int retries, const std::string& waves,
                                   const std::string& maxFailed) {
    if (Busy())
        return;
    std::vector<size_t> devices;
    for (const size_t i : Order)
        if (RetriedByRetryFailed(Devices[i]))
            devices.push_back(i);
    SelectOnly(devices);
    UpdateDevices(std::move(devices), jobs, retries, waves, maxFailed, true);
}

void FleetPresenter::OnUpdateRest(int jobs, int retries, const std::string& waves,
                                  const std::string& maxFailed) {
    if (Busy())
        return;
    std::vector<size_t> devices;
    for (const size_t i : Order)
        if (LeftToUpdate(Devices[i]))
            devices.push_back(i);
    SelectOnly(devices);
    UpdateDevices(std::move(devices), jobs, retries, waves, maxFailed, true);
}

void FleetPresenter::UpdateDevices(std::vector<size_t> devices, int jobs, int retries,
                                   const std::string& waves, const std::string& maxFailed, bool keepWaves) {
    Kept.Inputs.Jobs = std::max(0, jobs);
    Kept.Inputs.Retries = std::max(0, retries);
    // The rollout's fields, read as the command line reads --waves and --max-failed.
    std::string why;
    std::vector<WaveSize> waveSizes;
    if (const std::string text = WithoutBlanks(waves); !text.empty()) {
        waveSizes = ParseWaves(text, why);
        if (waveSizes.empty()) {
            View.InfoBox("Waves: " + why);
            return;
        }
    }
    std::optional<FailureLimit> limit;
    if (const std::string text = WithoutBlanks(maxFailed); !text.empty()) {
        limit = ParseFailureLimit(text, why);
        if (!limit) {
            View.InfoBox("Max failed: " + why);
            return;
        }
    }
    Kept.Inputs.Waves = waves;
    Kept.Inputs.MaxFailed = maxFailed;
    if (ConfigPath.empty() && VersionConfigs.empty()) {
        View.InfoBox("Choose the firmware configuration file first");
        return;
    }
    // Read again: a file or its image may have changed since it was chosen.
    if (!ConfigPath.empty()) {
        if (const FirmwareCheck check = CheckFirmware(ConfigPath); check.Code != kExitOk) {
            DrawConfigs();
            View.InfoBox(check.Reason);
            return;
        }
    }
    for (const auto& [version, path] : VersionConfigs)
        if (const FirmwareCheck check = CheckFirmware(path); check.Code != kExitOk) {
            DrawConfigs();
            View.InfoBox("The configuration for " + version + ": " + check.Reason);
            return;
        }
    if (devices.empty()) {
        View.InfoBox("Select the devices to update");
        return;
    }
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
    settings.Run.Tool = "fwupdate";
    settings.Run.Version = kFwUpdateVersion;
    settings.Run.CommandLine = CommandLineText(Options.Arguments);
    settings.Run.Host = HostName();
    settings.Run.User = LoginName();
    settings.ConfigFor = VersionConfigs;
    settings.MaxFailed = limit;
    // The waves the devices had in the last update, when it had waves (a redo keeps them), else the field's.
    const bool recorded = keepWaves && std::any_of(devices.begin(), devices.end(),
                                                   [this](size_t i) { return Devices[i].Wave > 0; });
    for (const size_t i : devices)
        Devices[i].Target.Wave = recorded ? Devices[i].Wave : 0;
    if (!recorded)
        settings.Waves = waveSizes;
    for (Device& d : Devices)
        d.InLastRun = false;
    for (const size_t i : devices) {
        Device& d = Devices[i];
        // A flash left incomplete before stays so unless this run updates it.
        if (d.FlashIncomplete)
            settings.IncompleteBefore.insert(d.Key);
        d.InLastRun = true;
        d.Live = Shown{"queued", FleetTone::Busy, ""};
        d.Percent = -1;
        d.Started = false;
        d.Ended = false;
        d.Written = d.Pages = 0;
        d.Attempt = 1;
        d.Attempts.clear();
    }
    JobAttempts = settings.Retries + 1;
    Records.clear();
    LastRun = settings.Run;
    LastRun.Start = std::chrono::system_clock::now();
    LastRun.Waves = WavesText(settings.Waves);
    LastRun.MaxFailed = limit ? FailureLimitText(*limit) : "";
    Wave = Waves = 0;
    HoldAt.clear();
    HoldWhy.clear();
    StartJob(JobKind::Update, devices, settings);
    if (Busy() && Run) {
        // Each device's wave as the engine made it; those of later waves wait for theirs.
        const std::vector<DeviceRecord> records = Run->Records();
        for (size_t j = 0; j < records.size() && j < JobDevices.size(); ++j) {
            Device& d = Devices[JobDevices[j]];
            d.Wave = records[j].Wave.value_or(0);
            if (d.Wave > 1)
                d.Live = Shown{"waiting for wave " + std::to_string(d.Wave), FleetTone::Busy,
                               "waiting for wave " + std::to_string(d.Wave) +
                                   ": it begins once every device of wave " + std::to_string(d.Wave - 1) +
                                   " has ended"};
        }
    }
    DrawRows(devices);
    DrawDetails();
    if (Busy()) {
        View.SetSummary("", "");
        View.SetOverall(0, "0 of " + std::to_string(devices.size()) + " devices ended");
        View.SetStatus("Updating " + std::to_string(devices.size()) + " device(s)...");
    } else {
        for (const size_t i : devices)
            Devices[i].Live.reset();
        DrawRows(devices);
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
    const std::string path = PathToUtf8(PathFromUtf8(*file).make_preferred());
    if (const std::string error = WriteReport(path, Records, LastRun); !error.empty())
        View.InfoBox("The report could not be written: " + error);
    else
        View.SetStatus("Report saved: " + path);
}

void FleetPresenter::KeepInputs() {
    const FleetInputs inputs = View.Inputs();
    Kept.Inputs = inputs;
    Kept.Config = ConfigPath;
    Kept.ConfigFor = VersionConfigs;
}

bool FleetPresenter::OnCloseRequest() {
    if (Job == JobKind::Update) {
        if (CloseWhenEnded)
            return false;
        if (!View.AskStopAndClose("Firmware updates are running. Stop them (each stops after its current "
                                  "page) and close the window once they have stopped, or keep it open?"))
            return false;
        CloseWhenEnded = true;
        OnStop();
        View.SetStatus("Stopping: the window closes once every update has stopped...");
        return false;
    }
    KeepInputs();
    return true;
}
