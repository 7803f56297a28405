// DeviceRun: one device's identification and update, told as events.
#include "fleet/devicerun.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/platform.h"
#include "base/timetext.h"
#include "fleet/imagefiles.h"
#include "fleet/jobslots.h"
#include "fleet/linkwaiter.h"
#include "fleet/refusaltext.h"
#include "fleet/retrypolicy.h"
#include "fleet/runstop.h"
#include "link/asp.h"
#include "link/conbase.h"
#include "update/firmwareimage.h"
#include "update/flashpacing.h"
#include "update/fwconfig.h"
#include "update/updatestart.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest a device thread waits for its link before it looks at its answers and the stop again.
constexpr milliseconds kDrainWait{100};
// How often a device waiting for its turn takes the keep-alive replies and looks whether its link is
// still there.
constexpr milliseconds kTurnPoll{200};

// The pages 0..pages-1 as runs per object, first to last.
std::vector<PageRun> PageRuns(int64_t pages) {
    std::vector<PageRun> runs;
    int64_t first = 0;
    while (first < pages) {
        const std::optional<PageAddress> a = PageAddressOf(first);
        if (!a)
            break;
        // The pages of one object: up to the end of its parameters or of the image.
        const int64_t objectEnd = a->Obj == 2 ? 246 : a->Obj == 3 ? 502 : kMaxPages;
        const int64_t last = std::min(pages, objectEnd) - 1;
        const std::optional<PageAddress> b = PageAddressOf(last);
        runs.push_back({a->Obj, a->Par, b->Par, last - first + 1});
        first = last + 1;
    }
    return runs;
}

// Why a connection could not be made, after "cannot connect to H:P: ".
std::string ConnectProblemText(SockConnectProblem problem, const std::string& host) {
    switch (problem) {
    case SockConnectProblem::None:
    case SockConnectProblem::Pending:
        break;
    case SockConnectProblem::BadAddress:
        return "no host or port";
    case SockConnectProblem::NotResolved:
        return "the name \"" + host + "\" is not resolved to an IPv4 address";
    case SockConnectProblem::Refused:
        return "refused (nothing accepts connections on that port)";
    case SockConnectProblem::NoRoute:
        return "no route to the host";
    case SockConnectProblem::TimedOut:
        return "timed out (no answer to the connection request)";
    case SockConnectProblem::Failed:
        break;
    }
    return "the connection failed";
}

// The same in one word, for the report.
std::string ConnectProblemCause(SockConnectProblem problem) {
    switch (problem) {
    case SockConnectProblem::BadAddress:
    case SockConnectProblem::NotResolved:
        return "not-resolved";
    case SockConnectProblem::Refused:
        return "refused";
    case SockConnectProblem::NoRoute:
        return "no-route";
    case SockConnectProblem::TimedOut:
        return "timed-out";
    default:
        break;
    }
    return "link-failed";
}

} // namespace

// ---- the session ----

bool DeviceRun::DeviceSession::StartUpdateWorker(std::function<void()> body) {
    // The update start has just cleared the session's stop request: a run stopped before it began is
    // stopped once more, so the worker ends before its first write.
    StoppedAtStart = Run.Stopped();
    if (StoppedAtStart.load())
        RequestUpdateStop();
    else
        Run.UpdateStarting();
    if (ActivitySteps)
        return UpdateSession::StartUpdateWorker(
            [device = LogDeviceScope::Current(), body = std::move(body)] {
                const LogDeviceScope named(device); // the worker's lines name the device too
                body();
            });
    // With no activity to show meanwhile, the device's own thread is the worker: the update start would
    // only wait for it, and a thousand devices need a thousand threads fewer.
    body();
    return true;
}

ImageRead DeviceRun::DeviceSession::LoadImage(const std::string& path,
                                              std::shared_ptr<const std::vector<uint8_t>>& image) {
    if (Run.Common.Images != nullptr)
        return Run.Common.Images->Get(path, image);
    return UpdateSession::LoadImage(path, image);
}

uint64_t DeviceRun::DeviceSession::RecordGeneration() {
    return Run.Common.Waiter.Generation(CurrentDevice.load());
}

void DeviceRun::DeviceSession::WaitForRecords(uint64_t seen, std::chrono::milliseconds limit) {
    Run.Common.Waiter.WaitAfter(CurrentDevice.load(), seen, std::min(limit, kDrainWait));
}

// ---- the view ----

void DeviceRun::DeviceView::SetDisplayText(Display which, const std::string&) {
    unsigned bit = 0;
    switch (which) {
    case Display::VERSION:
        bit = kVersion;
        break;
    case Display::DSPMODSERIAL:
        bit = kSerial;
        break;
    case Display::MODE:
        bit = kMode;
        break;
    case Display::DSPMODNAME:
        bit = kName;
        break;
    case Display::OEMUSERNAME:
        bit = kOemName;
        break;
    case Display::OEMDEVICENAME:
        bit = kDeviceName;
        break;
    case Display::OEMLIBNAME:
        bit = kLibraryName;
        break;
    }
    Run.ReportedMask |= bit;
}

void DeviceRun::DeviceView::SetKennung(int) {
    Run.ReportedMask |= kKennung;
}

void DeviceRun::DeviceView::SetOnline(bool online) {
    if (online)
        Run.ReportedMask |= kOnline;
    else
        Run.ReportedMask = 0; // CLOSED: what this connection reported is gone with it
}

void DeviceRun::DeviceView::ShowTimed(const std::string& text, int) {
    Run.ShowMessage(text);
}

void DeviceRun::DeviceView::InfoBox(const std::string& text) {
    Run.ShowMessage(text);
}

void DeviceRun::DeviceView::Repaint() {
    if (Run.Common.Settings.ProgressBetweenPages)
        Run.UpdateProgress(false);
}

void DeviceRun::DeviceView::PageWritten(int written, int pages) {
    {
        std::lock_guard hold(Run.ProgressLock);
        Run.PagesWritten = written;
        Run.PagesTotal = pages;
        // After a page and its pause: the remaining pages, each with its pause, then the end.
        Run.ExpectedEnd = Clock::now() + (pages - written) * kPageDelay + kEndDelay;
    }
    Run.UpdateProgress(true);
}

// ---- the device ----

DeviceRun::DeviceRun(const Shared& shared, FleetDevice device, DeviceTarget target)
    : Common(shared), Device(std::move(device)), Target(std::move(target)), Sess(shared.Link, ViewOf, *this) {
    Rec.Address = Target.Label;
    ConfigPath = Target.Config.empty() ? Common.Settings.Config : Target.Config;
    // A configuration by version is named once chosen; a device held before it began names its own.
    if (Common.Settings.Task == FleetTask::Update && !ByVersion())
        Rec.Config = ConfigPath;
    // An earlier run left its flash incomplete: so it stays unless this run updates it.
    if (Common.Settings.IncompleteBefore.count(Device.Key) != 0)
        Rec.Flash = kFlashIncomplete;
    // Several sessions share the one link manager: each takes only its own device's records.
    Sess.SetOwnHandleOnly(true);
    Sess.AdminMode = Common.Settings.Admin;
    Sess.CheckOnly = Common.Settings.DryRun;
    // The session's activity steps wake a thousand device threads five times a second for nothing unless a
    // display shows the time left between pages.
    Sess.ActivitySteps = Common.Settings.ProgressBetweenPages;
    Sess.SetUpdateClock(Common.Settings.Clock);
}

DeviceRun::~DeviceRun() = default;

bool DeviceRun::Stopped() const {
    return Common.Stop.Requested();
}

int DeviceRun::StopCode() const {
    return Common.Stop.Reason().value_or(StopReason{}).Code;
}

void DeviceRun::Interrupt() {
    Sess.RequestUpdateStop();
}

DeviceRecord DeviceRun::Record() const {
    std::lock_guard hold(RecordLock);
    return FinalRec ? *FinalRec : Rec;
}

void DeviceRun::ShowMessage(const std::string& text) {
    {
        std::lock_guard hold(RecordLock);
        LastMessage = text;
    }
    Emit([&](FleetObserver& o) {
        MessageEvent e = NewEvent<MessageEvent>();
        e.Text = text;
        o.OnMessage(e);
    });
}

void DeviceRun::UpdateStarting() {
    FlashErased = true;
    AttemptProgrammed = true;
    // In the report before the erase is sent: a crash or a power cut from here on leaves it saying so.
    {
        std::lock_guard hold(RecordLock);
        Rec.Flash = kFlashIncomplete;
    }
    if (Common.Erasing)
        Common.Erasing();
    int64_t pages;
    {
        std::lock_guard hold(ProgressLock);
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(PathFromUtf8(ImagePath), ec);
        PagesTotal = ec ? 0 : PageCount(static_cast<int64_t>(bytes));
        PagesWritten = 0;
        ExpectedEnd = Clock::now() + UpdatePauses(PagesTotal);
        pages = PagesTotal;
    }
    const double left = SecondsLeft();
    Emit([&](FleetObserver& o) {
        StartedEvent e = NewEvent<StartedEvent>();
        e.Caption = kUpdateCaption;
        e.Pages = pages;
        e.SecondsLeft = left;
        o.OnStarted(e);
    });
    UpdateProgress(false);
}

double DeviceRun::SecondsLeft() const {
    std::lock_guard hold(ProgressLock);
    return std::max(0.0, std::chrono::duration<double>(ExpectedEnd - Clock::now()).count());
}

void DeviceRun::UpdateProgress(bool newPage) {
    // Read in the order the events are told: a page the worker tells meanwhile never comes before an older
    // count from the device's own thread.
    Emit([&](FleetObserver& o) {
        ProgressEvent e = NewEvent<ProgressEvent>();
        {
            std::lock_guard hold(ProgressLock);
            e.Written = PagesWritten;
            e.Pages = PagesTotal;
        }
        e.SecondsLeft = SecondsLeft();
        e.NewPage = newPage;
        o.OnProgress(e);
    });
}

// ---- connecting ----

bool DeviceRun::Connect(int attempt) {
    Emit([&](FleetObserver& o) {
        ConnectingEvent e = NewEvent<ConnectingEvent>();
        e.Attempt = attempt;
        o.OnConnecting(e);
    });
    SockConnectProblem problem = SockConnectProblem::Failed;
    const int handle = Sess.OpenDevice(Target.Host, Target.Port, &problem);
    LastHandle = handle;
    if (handle == 0) {
        Note = "cannot connect to " + Target.Label + ": " + ConnectProblemText(problem, Target.Host);
        Cause = ConnectProblemCause(problem);
        ConnectEnd = problem == SockConnectProblem::Refused ? Probed::Refused : Probed::NoConnection;
        return false;
    }
    // Taken by the device unless its connection was still under way: what follows is its silence.
    ConnectEnd = problem == SockConnectProblem::None ? Probed::NotIdentified : Probed::NoConnection;
    Emit([&](FleetObserver& o) { o.OnConnected(NewEvent<ConnectedEvent>()); });
    Sess.RequestIdentification();

    // The window shows the answers as they come; here the rules wait for all nine, as the operator
    // would, but no longer than the time-out.
    LinkWaiter& waiter = Common.Waiter;
    const auto deadline = Clock::now() + Common.Settings.Timeout;
    for (;;) {
        const uint64_t seen = waiter.Generation(handle);
        Sess.MsgCallback(handle);
        if (ReportedMask.load() == kAll || Sess.CurrentDevice.load() == 0 || Stopped())
            break;
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        waiter.WaitAfter(
            handle, seen,
            std::min(kDrainWait, std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1)));
    }
    if (Sess.Online.load() != 0) {
        ConnectEnd = Probed::Answered;
        return true;
    }
    ConBase& link = Common.Link;
    if (Sess.CurrentDevice.load() != 0) {
        Note = "no answer from " + Target.Label + " within " +
               SecondsText(std::chrono::duration<double>(Common.Settings.Timeout).count());
        Cause = "no-answer";
        if (problem == SockConnectProblem::Pending && link.IsOpen(handle) != 0) {
            Note += " (it has not accepted the connection either)";
            Cause = "timed-out";
        }
        if (Stopped())
            ConnectEnd = Probed::Stopped; // the wait for the answers ended at the stop
        return false;
    }
    switch (Sess.ClosedReason.load()) {
    case CLOSED_SILENT: {
        // The link closes a device silent for 1000 of its ticks.
        const auto silence =
            std::chrono::round<std::chrono::seconds>(link.Options().TickPeriod * kRxTimeoutTicks);
        Note = Target.Label + " sent nothing for " + std::to_string(silence.count()) +
               " s; the link closes a silent device";
        Cause = "silent";
        ConnectEnd = Probed::NotIdentified;
    } break;
    case CLOSED_BY_PEER:
        ConnectEnd = Probed::NotIdentified;
        Note = ReportedMask.load() == 0 ? Target.Label + " closed the connection at once, before any answer"
                                        : Target.Label + " closed the connection before it answered";
        Cause = ReportedMask.load() == 0 ? "closed-at-once" : "closed";
        break;
    case CLOSED_ON_ERROR:
        Note = problem == SockConnectProblem::Pending
                   ? "cannot connect to " + Target.Label + ": the connection request timed out or failed"
                   : "the link to " + Target.Label + " failed before the device answered";
        Cause = problem == SockConnectProblem::Pending ? "timed-out" : "link-failed";
        break;
    default:
        Note = "the link to " + Target.Label + " closed before the device answered";
        Cause = "closed";
        break;
    }
    return false;
}

void DeviceRun::Disconnect() {
    // A device that never answered has nothing of ours to finish reading and may never close its side.
    if (Sess.CurrentDevice.load() != 0) {
        if (ReportedMask.load() != 0)
            Sess.CloseDevice();
        else
            Sess.CloseDeviceNow();
    }
    Sess.MsgCallback(0); // takes the CLOSED record, which removes the device from the link manager
}

DeviceIdentity DeviceRun::ReportedIdentity() const {
    const unsigned mask = ReportedMask.load();
    DeviceIdentity id;
    if (mask & kKennung)
        id.Kennung = Sess.Kennung;
    if (mask & kSerial)
        id.Serial = Sess.Serial;
    if (mask & kMode)
        id.Mode = Sess.Mode;
    if (mask & kVersion)
        id.Version = "HWV=" + std::to_string(Sess.VersionHigh) + "." + std::to_string(Sess.VersionLow);
    auto text = [&](unsigned bit, const char* bytes) {
        return (mask & bit) ? std::optional<std::string>(PrintableDeviceText(bytes)) : std::nullopt;
    };
    id.Name = text(kName, Sess.Name);
    id.OemName = text(kOemName, Sess.OemName);
    id.DeviceName = text(kDeviceName, Sess.DeviceName);
    id.LibraryName = text(kLibraryName, Sess.LibraryName);
    return id;
}

void DeviceRun::KeepIdentity(const DeviceIdentity& identity) {
    std::lock_guard hold(RecordLock);
    Rec.Identity = identity;
}

DeviceRun::Probed DeviceRun::Probe() {
    const LogDeviceScope named(Target.Label);
    const bool answered = Connect(1);
    if (answered)
        KeepIdentity(ReportedIdentity());
    Disconnect();
    return answered ? Probed::Answered : ConnectEnd;
}

void DeviceRun::RunIdentify() {
    const LogDeviceScope named(Target.Label);
    {
        std::lock_guard hold(RecordLock);
        Rec.Start = std::chrono::system_clock::now();
        Rec.Attempts = 1;
    }
    const bool answered = !Stopped() && Connect(1);
    if (answered) {
        const DeviceIdentity id = ReportedIdentity();
        Emit([&](FleetObserver& o) {
            IdentifiedEvent e = NewEvent<IdentifiedEvent>();
            e.Online = Sess.Online.load() != 0;
            e.Identity = id;
            o.OnIdentified(e);
        });
        KeepIdentity(id);
    }
    Disconnect();
    if (answered)
        EndNow(kExitOk, "ok", "ONLINE");
    else if (Stopped())
        EndNow(StopCode(), "interrupted", "interrupted before the device answered");
    else
        EndNow(kExitNoConnection, "no-connection", Note);
}

// ---- the update ----

void DeviceRun::ReportPlan(const FwConfig& config) {
    std::error_code ec;
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(PathFromUtf8(ImagePath), ec));
    Emit([&](FleetObserver& o) {
        PlanEvent e = NewEvent<PlanEvent>();
        e.Image = ImagePath;
        e.Bytes = bytes;
        e.Pages = PageCount(bytes);
        e.PageRuns = PageRuns(e.Pages);
        e.Name = PrintableDeviceText(FirmwareName(ImagePath).substr(0, 16));
        e.Version = config.FwVersion;
        e.Revision = config.FwRevision;
        e.Date = DateValueNowUtc();
        e.Seconds = std::chrono::duration<double>(UpdatePauses(e.Pages)).count();
        o.OnPlan(e);
    });
}

void DeviceRun::RefuseBeforeConnecting(int code, const std::string& result, const std::string& message,
                                       const std::string& detail) {
    Refusal = Attempt{code, result, detail};
    RefusalMessage = message;
}

void DeviceRun::SetFingerprint(const std::string& fingerprint) {
    std::lock_guard hold(RecordLock);
    Rec.Fingerprint = fingerprint;
}

void DeviceRun::RunUpdate() {
    const LogDeviceScope named(Target.Label);
    {
        std::lock_guard hold(RecordLock);
        Rec.Start = std::chrono::system_clock::now();
        Rec.Config = ConfigPath;
    }
    if (Stopped()) {
        EndNow(StopCode(), "interrupted", "interrupted before the update began; nothing was written");
        return;
    }
    if (Refusal) {
        EndRefused();
        return;
    }
    FwConfig config;
    // A configuration chosen by the version the device reports is read once it has reported it.
    if (!ByVersion()) {
        if (const std::optional<Attempt> unreadable = LoadConfig(config)) {
            EndNow(unreadable->Code, unreadable->Result, unreadable->Text);
            return;
        }
    }
    const int attempts = Common.Settings.Retries + 1;
    std::optional<AttemptFailure> before;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard hold(RecordLock);
            Rec.Attempts = attempt;
        }
        if (attempts > 1)
            LogLine("DeviceRun::RunUpdate: attempt " + std::to_string(attempt) +
                    " of " + std::to_string(attempts));
        const Attempt result = UpdateOnce(config, attempt);
        const AttemptFailure failure{result.Code, result.Where};
        if (!IsRetried(failure, before) || attempt >= attempts || Stopped()) {
            std::string detail = result.Text;
            if (IsRetried(result.Code) && !IsRetried(failure, before) && attempt < attempts && !Stopped())
                detail += "; not tried again: attempt " + std::to_string(attempt) +
                          " failed exactly as attempt " + std::to_string(attempt - 1) + " did (" +
                          result.Where + ")";
            EndNow(result.Code, result.Result, detail);
            return;
        }
        before = failure;
        const milliseconds pause = RetryPause(attempt);
        ReportRetry(attempt + 1, result, pause);
        if (Common.Stop.WaitFor(pause)) {
            EndNow(StopCode(), "interrupted",
                   "interrupted before attempt " + std::to_string(attempt + 1) + "; attempt " +
                       std::to_string(attempt) + ": " + result.Text);
            return;
        }
    }
}

bool DeviceRun::ByVersion() const {
    const RunSettings& settings = Common.Settings;
    return !settings.OnlyVersion.empty() || (!OwnConfig() && !settings.ConfigFor.empty());
}

bool DeviceRun::OwnConfig() const {
    return !Target.Config.empty();
}

void DeviceRun::EndRefused() {
    // The window's message, as the update start would have shown it; a configuration that cannot be read is
    // never shown, only named in the device's end.
    if (Refusal->Code == kExitBadConfig) {
        std::lock_guard hold(RecordLock);
        LastMessage = RefusalMessage;
    } else {
        ShowMessage(RefusalMessage);
    }
    EndNow(Refusal->Code, Refusal->Result, Refusal->Text);
}

DeviceRun::Attempt DeviceRun::NoConnectionAttempt() {
    if (Cause.empty())
        Cause = "closed"; // the link closed while the device waited for its turn
    return Attempt{kExitNoConnection, "no-connection", Note.empty() ? "No connection" : Note};
}

std::optional<std::string> DeviceRun::RolloutHeld() const {
    return Common.Held ? Common.Held() : std::nullopt;
}

void DeviceRun::SetWave(int wave) {
    std::lock_guard hold(RecordLock);
    Rec.Wave = wave;
}

std::optional<DeviceRun::Attempt> DeviceRun::LoadConfig(FwConfig& config) {
    // A file that cannot be read is reported before the device is written to.
    if (config.Load(ConfigPath) != 0) {
        std::lock_guard hold(RecordLock);
        LastMessage = "Error on reading config file";
        return Attempt{kExitBadConfig, "bad-config", ConfigErrorText(ConfigPath)};
    }
    ImagePath = ImagePathFor(ConfigPath, config.Filename);
    std::lock_guard hold(RecordLock);
    Rec.Config = ConfigPath;
    Rec.Image = ImagePath;
    Rec.Checksum = config.Checksum;
    Rec.FirmwareName = PrintableDeviceText(FirmwareName(ImagePath).substr(0, 16));
    Rec.FirmwareVersion = config.FwVersion;
    Rec.FirmwareRevision = config.FwRevision;
    return std::nullopt;
}

std::optional<DeviceRun::Attempt> DeviceRun::ChooseConfig(const DeviceIdentity& identity, FwConfig& config) {
    const RunSettings& settings = Common.Settings;
    const std::string version = identity.Version.value_or("");
    const std::string reports = version.empty() ? "has not reported its version" : "reports " + version;
    if (!settings.OnlyVersion.empty() && version != settings.OnlyVersion)
        return Attempt{kExitOk, kResultSkipped,
                       "skipped: the device " + reports + ", this run updates " + settings.OnlyVersion +
                           " only; nothing was written"};
    if (!OwnConfig()) {
        const auto it = settings.ConfigFor.find(version);
        ConfigPath = it != settings.ConfigFor.end() ? it->second : settings.Config;
    }
    if (ConfigPath.empty())
        return Attempt{kExitOk, kResultSkipped,
                       "skipped: the device " + reports + ", for which the run has no configuration; nothing "
                       "was written"};
    // Each configuration was checked once before any device was connected.
    if (Common.Checks != nullptr) {
        if (const auto check = Common.Checks->find(ConfigPath); check != Common.Checks->end()) {
            {
                std::lock_guard hold(RecordLock);
                Rec.Config = ConfigPath;
                Rec.Fingerprint = check->second.Fingerprint;
            }
            if (const FirmwareCheck& c = check->second; c.Code != kExitOk) {
                ShowMessage(c.Message);
                return Attempt{c.Code, c.Result, c.Reason};
            }
        }
    }
    return LoadConfig(config);
}

void DeviceRun::ReportRetry(int next, const Attempt& failed, milliseconds pause) {
    const int attempts = Common.Settings.Retries + 1;
    LogLine("DeviceRun::RunUpdate: attempt " + std::to_string(next - 1) + " failed (" +
            failed.Text + "); attempt " + std::to_string(next) + " of " + std::to_string(attempts) + " in " +
            std::to_string(pause.count()) + " ms");
    {
        std::lock_guard hold(RecordLock);
        Rec.AttemptLog.push_back({next - 1, failed.Result, failed.Code, failed.Text});
    }
    Emit([&](FleetObserver& o) {
        RetryEvent e = NewEvent<RetryEvent>();
        e.Attempt = next;
        e.Attempts = attempts;
        e.Reason = failed.Result;
        e.Code = failed.Code;
        e.Detail = failed.Text;
        e.Pause = pause;
        o.OnRetry(e);
    });
}

void DeviceRun::ForgetLastDevice() {
    // Once its CLOSED record has been taken, the device of the last connection is no longer
    // registered. Were it still, the link would take the address for a known device and reconnect it
    // on the fixed reconnect port 2101 instead of HOST:PORT: behind a jig forwarding 2000, 2001, ...
    // that is another device or none.
    ConBase& link = Common.Link;
    const int last = std::exchange(LastHandle, 0);
    if (last == 0 || link.Remove(last) != -2)
        return;
    LogLine("DeviceRun::ForgetLastDevice: device " + std::to_string(last) +
            " still open, closed");
    link.Close(last);
    Sess.MsgCallback(0); // its CLOSED record
    link.Remove(last);
}

bool DeviceRun::WaitForTurn(JobSlot& turn, bool holdable) {
    JobSlots& slots = *Common.Slots;
    bool said = false;
    const auto began = Clock::now();
    {
        std::lock_guard hold(RecordLock);
        WaitingSince = began; // an end meanwhile counts the wait so far
    }
    // The time it waited goes into the record, whether its turn came or the run stopped.
    struct Waited {
        DeviceRun& Run;
        Clock::time_point Began;
        ~Waited() {
            std::lock_guard hold(Run.RecordLock);
            Run.Rec.Waited += std::chrono::duration_cast<milliseconds>(Clock::now() - Began);
            Run.WaitingSince.reset();
        }
    } waited{*this, began};
    while (!slots.TryAcquireFor(said ? kTurnPoll : milliseconds(0))) {
        if (Stopped() || (holdable && RolloutHeld()))
            return false;
        if (!said) {
            said = true;
            Emit([&](FleetObserver& o) {
                WaitingEvent e = NewEvent<WaitingEvent>();
                e.Jobs = Common.Settings.Jobs;
                o.OnWaiting(e);
            });
        }
        // The keep-alive replies, and a link that closes meanwhile: the update start then finds no
        // connection.
        Sess.MsgCallback(Sess.CurrentDevice.load());
    }
    turn.Hold(slots);
    return true;
}

DeviceRun::Attempt DeviceRun::UpdateOnce(FwConfig& config, int attempt) {
    ForgetLastDevice();
    {
        std::lock_guard hold(RecordLock);
        LastMessage.clear();
    }
    Note.clear();
    Cause.clear();
    AttemptProgrammed = false;
    Sess.Online = 0; // what an earlier connection answered counts no more
    ReportedMask = 0;
    {
        std::lock_guard hold(ProgressLock);
        PagesWritten = 0;
        PagesTotal = 0;
    }

    const bool answered = Connect(attempt);
    if (answered) {
        const DeviceIdentity id = ReportedIdentity();
        Emit([&](FleetObserver& o) {
            IdentifiedEvent e = NewEvent<IdentifiedEvent>();
            e.Online = Sess.Online.load() != 0;
            e.Identity = id;
            o.OnIdentified(e);
        });
        KeepIdentity(id);
    }
    if (Stopped()) {
        Disconnect();
        return {StopCode(), "interrupted", "interrupted before the update began; nothing was written"};
    }
    // A configuration by the device's version, chosen once it has reported it.
    if (ByVersion() && !ConfigChosen) {
        if (!answered) {
            Disconnect();
            return NoConnectionAttempt();
        }
        ConfigChosen = true;
        if (const std::optional<Attempt> end = ChooseConfig(ReportedIdentity(), config)) {
            Disconnect();
            return *end;
        }
    }
    const bool dryRun = Common.Settings.DryRun;
    // With a limit on the devices programmed at once, or a rollout that may hold the devices not begun, the
    // rules are checked first (nothing is sent), so that a device they refuse is told so rather than waiting
    // its turn or being held; then the device waits, its connection kept alive meanwhile.
    JobSlot turn;
    std::optional<UpdateOutcome> refused;
    // A device whose flash an earlier attempt erased is being programmed: the rollout never holds it.
    const bool mayBeHeld = Common.Held && !FlashErased.load();
    if (answered && (Common.Slots != nullptr || mayBeHeld) && !dryRun) {
        Sess.CheckOnly = true;
        const UpdateOutcome checked = Sess.StartUpdateWith(config, ConfigPath);
        Sess.CheckOnly = false;
        if (checked != UpdateOutcome::Checked) {
            refused = checked;
        } else if (Common.Slots != nullptr && !WaitForTurn(turn, mayBeHeld) && Stopped()) {
            Disconnect();
            return {StopCode(), "interrupted", "interrupted while waiting for its turn; nothing was written"};
        }
        if (!refused && mayBeHeld) {
            if (const std::optional<std::string> held = RolloutHeld()) {
                Disconnect();
                return {kExitHeld, kResultHeld, *held};
            }
        }
    }
    if (!refused && !dryRun)
        UpdateBegun = true;
    const UpdateOutcome outcome = refused ? *refused : Sess.StartUpdateWith(config, ConfigPath);
    const bool linkGone = Sess.CurrentDevice.load() == 0;
    // What the device reported decides the refusal's detail; closing the connection forgets it.
    const std::string reportedKennung = Sess.KennungReported.load()
                                            ? "reports OEM id " + std::to_string(Sess.Kennung)
                                            : "has not reported its OEM id";
    const std::string reportedSerial = Sess.SerialReported.load()
                                           ? "reports serial " + std::to_string(Sess.Serial)
                                           : "has not reported its serial number";
    Disconnect();
    {
        std::lock_guard hold(RecordLock);
        RecordPages();
    }

    int64_t written, pages;
    {
        std::lock_guard hold(ProgressLock);
        written = PagesWritten;
        pages = PagesTotal;
    }
    const std::string pagesText = std::to_string(written) + " of " + std::to_string(pages) + " pages";
    // The device acknowledges each page it takes (WOK); the count says how far it got for certain.
    const std::string sentText = pagesText + " sent, " + std::to_string(Sess.UpdatePagesAcknowledged()) +
                                 " acknowledged by the device";
    const std::string& logPath = Common.Settings.LogPath;
    const std::string logText = logPath.empty() ? "see the log" : "see the log " + logPath;
    switch (outcome) {
    case UpdateOutcome::Ok:
        return Attempt{kExitOk, "ok", "updated, " + pagesText + " written"};
    case UpdateOutcome::Checked:
        ReportPlan(config);
        return Attempt{kExitOk, "dry-run", "dry run OK, nothing written"};
    case UpdateOutcome::Error:
    case UpdateOutcome::WorkerFailed:
        if (Stopped()) {
            if (Sess.StoppedBeforeWriting())
                return Attempt{StopCode(), "interrupted",
                               "interrupted before the update began; nothing was written"};
            return Attempt{StopCode(), "interrupted",
                           "interrupted: " + sentText +
                               ": the device's flash is incomplete; update it again"};
        }
        if (outcome == UpdateOutcome::WorkerFailed)
            return Attempt{kExitUpdateFailed, "failed",
                           "update failed: the update worker could not be started"};
        if (const std::string shortfall = Sess.UpdateShortfallText(); !linkGone && !shortfall.empty())
            return Attempt{kExitUpdateFailed, "failed", "update failed: " + shortfall, FailedWhere(linkGone)};
        if (linkGone && Sess.ClosedReason.load() == CLOSED_SILENT) {
            const auto silence = std::chrono::round<std::chrono::seconds>(Common.Link.Options().TickPeriod *
                                                                          kRxTimeoutTicks);
            return Attempt{kExitUpdateFailed, "failed",
                           "update failed: " + sentText + ": the device sent nothing for " +
                               std::to_string(silence.count()) + " s; link lost",
                           FailedWhere(linkGone)};
        }
        return Attempt{kExitUpdateFailed, "failed",
                       "update failed: " + sentText +
                           (linkGone ? ": link lost" : ": the device reported an error (" + logText + ")"),
                       FailedWhere(linkGone)};
    case UpdateOutcome::BadConfig:
        return Attempt{kExitBadConfig, "bad-config", ConfigErrorText(ConfigPath)};
    case UpdateOutcome::NoConnection:
        return NoConnectionAttempt();
    case UpdateOutcome::OemRefused:
        return Attempt{kExitOemRule, "oem-rule",
                       "refused by the OEM rule: the device " + reportedKennung +
                           ", this tool updates OEM id " + std::to_string(UpdateSession::OemNumber) +
                           " (--admin lifts the rule)"};
    case UpdateOutcome::SerialRefused:
        return Attempt{kExitSerialRule, "serial-rule",
                       "refused by the serial rule: the configuration is bound to serial " +
                           std::to_string(config.Seriennummer) + ", the device " + reportedSerial};
    case UpdateOutcome::ImageNotFound: {
        std::vector<uint8_t> bytes;
        std::string why;
        if (ReadImage(ImagePath, bytes, &why) == ImageRead::NotFound)
            return Attempt{kExitImageNotFound, "image-not-found", ImageNotFoundText(ImagePath)};
        if (why.empty())
            why = "it could not be read when the update started";
        return Attempt{kExitImageNotFound, "image-not-found", ImageUnreadableText(ImagePath, why)};
    }
    case UpdateOutcome::InvalidImage:
        return Attempt{kExitInvalidImage, "invalid-binary", ChecksumDiffersText(ImagePath)};
    case UpdateOutcome::ImageTooLarge:
        return Attempt{kExitInvalidImage, "image-too-large", ImageTooLargeText(ImagePath)};
    }
    return {kExitInternal, "internal", "unexpected outcome"};
}

std::string DeviceRun::FailedWhere(bool linkGone) const {
    const std::string errorPlace = Sess.UpdateErrorPlace();
    if (!linkGone && !errorPlace.empty())
        return "error reply to " + errorPlace;
    if (!linkGone && Sess.UpdateShortfall() == UpdateSession::Shortfall::End)
        return "the end of the image not acknowledged";
    return (linkGone ? "link lost after " : "failed after ") +
           std::to_string(Sess.UpdatePagesAcknowledged()) + " acknowledged pages";
}

// ---- the end ----

void DeviceRun::RecordPages() {
    if (!AttemptProgrammed.load())
        return;
    std::lock_guard hold(ProgressLock);
    Rec.Pages = PagesTotal;
    Rec.PagesSent = Sess.UpdatePagesSent();
    Rec.PagesAcknowledged = Sess.UpdatePagesAcknowledged();
}

bool DeviceRun::EndNow(int code, const std::string& result, const std::string& detail) {
    {
        std::lock_guard hold(EmitLock);
        if (EndedFlag.load())
            return false;
        std::string message, cause, flash;
        {
            std::lock_guard record(RecordLock);
            Rec.Result = result;
            Rec.Code = code;
            Rec.Detail = detail;
            Rec.End = std::chrono::system_clock::now();
            // Another thread (the run's EndNow) ends it with no-connection never, so Cause is this thread's.
            Rec.Cause = result == "no-connection" ? (Cause.empty() ? "closed" : Cause) : "";
            RecordPages();
            const bool updated =
                code == kExitOk && result == "ok" && Common.Settings.Task == FleetTask::Update;
            const bool erased = FlashErased.load() || Common.Settings.IncompleteBefore.count(Device.Key) != 0;
            Rec.Flash = updated ? kFlashUpdated : erased ? kFlashIncomplete : kFlashUntouched;
            if (Rec.AttemptLog.size() < static_cast<size_t>(Rec.Attempts))
                Rec.AttemptLog.push_back({Rec.Attempts, result, code, detail});
            if (WaitingSince)
                Rec.Waited += std::chrono::duration_cast<milliseconds>(Clock::now() - *WaitingSince);
            FinalRec = Rec; // what the device's thread still does changes it no more
            message = LastMessage;
            cause = Rec.Cause;
            flash = Rec.Flash;
        }
        if (FleetObserver* o = Common.Observer) {
            if (IsRefusal(code)) {
                RefusedEvent e = NewEvent<RefusedEvent>();
                e.Reason = result;
                e.Message = message.empty() ? detail : message;
                e.Detail = detail;
                o->OnRefused(e);
            }
            DoneEvent e = NewEvent<DoneEvent>();
            e.Result = result;
            e.Code = code;
            e.Message = message;
            e.Detail = detail;
            e.Cause = cause;
            e.Flash = flash;
            o->OnDone(e);
        }
        EndedFlag = true;
    }
    if (Common.Ended)
        Common.Ended();
    return true;
}

bool DeviceRun::EndInterrupted(int code) {
    if (Common.Settings.Task == FleetTask::Identify)
        return EndNow(code, "interrupted", "interrupted before the device answered");
    if (!UpdateBegun.load())
        return EndNow(code, "interrupted", "interrupted before the update began; nothing was written");
    int64_t pages;
    {
        std::lock_guard hold(ProgressLock);
        pages = PagesTotal;
    }
    return EndNow(code, "interrupted",
                  "interrupted: the tool quit with " + std::to_string(Sess.UpdatePagesSent()) + " of " +
                      std::to_string(pages) + " pages sent, " +
                      std::to_string(Sess.UpdatePagesAcknowledged()) +
                      " acknowledged by the device: the device's flash may be incomplete; update it again");
}
