// FleetRun: the threads of a run's devices, its stop, its report and its summary.
#include "fleet/fleetrun.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "base/log.h"
#include "fleet/devicerun.h"
#include "fleet/firmwarecheck.h"
#include "fleet/imagefiles.h"
#include "fleet/jobslots.h"
#include "fleet/linkgroups.h"
#include "fleet/linkwaiter.h"
#include "link/conbase.h"

FleetRun::FleetRun(std::vector<DeviceTarget> targets, RunSettings settings, FleetObserver& observer)
    : Targets(std::move(targets)), Settings(std::move(settings)), Observer(observer) {}

FleetRun::~FleetRun() {
    StopState.Request({});
    InterruptDevices();
    JoinDevices();
}

std::vector<DeviceRun*> FleetRun::Devices() const {
    std::lock_guard hold(PartsLock);
    std::vector<DeviceRun*> devices;
    devices.reserve(DeviceRuns.size());
    for (const auto& d : DeviceRuns)
        devices.push_back(d.get());
    return devices;
}

std::vector<DeviceRecord> FleetRun::Records() const {
    std::vector<DeviceRecord> records;
    for (const DeviceRun* d : Devices())
        records.push_back(d->Record());
    return records;
}

std::string FleetRun::Start() {
    // Taken before the parts: a report write takes the parts (the records).
    ReportRun run;
    {
        std::lock_guard write(ReportLock);
        if (!RunInfo.Start) {
            RunInfo = Settings.Run;
            RunInfo.Start = std::chrono::system_clock::now();
            if (Settings.Task == FleetTask::Update) {
                RunInfo.Waves = WavesText(Settings.Waves);
                RunInfo.MaxFailed = Settings.MaxFailed ? FailureLimitText(*Settings.MaxFailed) : "";
            }
        }
        run = RunInfo;
    }
    std::unique_lock parts(PartsLock);
    if (StartCalled)
        return "the run was started already";
    StartCalled = true;
    Started = std::chrono::steady_clock::now();

    // A link manager keeps one device per address: devices behind one address get a manager each.
    const std::vector<int> groups = LinkGroups(Targets);
    const int managers = groups.empty() ? 0 : *std::max_element(groups.begin(), groups.end()) + 1;
    for (int m = 0; m < managers; ++m) {
        Links.push_back(std::make_unique<ConBase>());
        Waiters.push_back(std::make_unique<LinkWaiter>(*Links.back()));
    }
    if (Settings.Jobs > 0 && Settings.Task == FleetTask::Update)
        Slots = std::make_unique<JobSlots>(Settings.Jobs);
    Images = std::make_unique<ImageFiles>();
    // The rollout: the waves given, else those the targets carry from an earlier run (a redo keeps them).
    std::vector<int> waveOf;
    bool waves = false;
    if (Settings.Task == FleetTask::Update) {
        if (!Settings.Waves.empty()) {
            waveOf = WaveOfEach(Settings.Waves, Targets.size());
            waves = true;
        } else if (std::any_of(Targets.begin(), Targets.end(),
                               [](const DeviceTarget& t) { return t.Wave > 0; })) {
            waveOf = RecordedWaves(Targets);
            waves = true;
        }
    }
    {
        std::lock_guard hold(WaveLock);
        Plan = std::make_unique<Rollout>(waveOf, Targets.size(), Settings.MaxFailed);
        Begun.assign(Targets.size(), false);
    }
    const bool holds = Settings.Task == FleetTask::Update && (Plan->Waves() > 1 || Settings.MaxFailed);
    for (size_t i = 0; i < Targets.size(); ++i) {
        const auto m = static_cast<size_t>(groups[i]);
        DeviceRun::Shared shared{*Links[m],
                                 *Waiters[m],
                                 Slots.get(),
                                 StopState,
                                 Settings,
                                 &Observer,
                                 [this, i] { DeviceEnded(i); },
                                 Images.get(),
                                 [this] { RewriteReport(true); }};
        if (holds)
            shared.Held = [this] { return CurrentHold(); };
        shared.Checks = &Checks;
        FleetDevice device{static_cast<int>(i), Targets[i].Label, DeviceKey(Targets[i])};
        DeviceRuns.push_back(std::make_unique<DeviceRun>(shared, std::move(device), Targets[i]));
        if (waves)
            // A redo's devices keep the waves their report gave them; the run takes them in that order.
            DeviceRuns.back()->SetWave(Settings.Waves.empty() && Targets[i].Wave > 0 ? Targets[i].Wave
                                                                                     : Plan->WaveOf(i));
    }
    // Written before any device is touched: a report that cannot be written says so at once.
    if (!Settings.ReportPath.empty()) {
        std::vector<DeviceRecord> records;
        for (const auto& d : DeviceRuns)
            records.push_back(d->Record());
        if (std::string error = WriteReport(Settings.ReportPath, records, run, Settings.Carried);
            !error.empty())
            return error;
    }
    // A configuration and its image are checked once for all devices of it, before any device is connected:
    // a missing image refuses every device of that configuration at once, untouched.
    std::vector<ConfigRefusedEvent> refused; // in the order of their first device
    if (Settings.Task == FleetTask::Update) {
        const auto check = [&](const std::string& config) -> const FirmwareCheck& {
            auto [at, fresh] = Checks.try_emplace(config);
            if (fresh) {
                at->second = CheckFirmware(config);
                const FirmwareCheck& c = at->second;
                if (c.Code != kExitOk) {
                    LogLine("FleetRun::Start: " + c.Reason + "; no device of it is connected");
                    refused.push_back(
                        {std::chrono::system_clock::now(), config, c.Result, c.Code, c.Message, c.Reason, {}});
                }
            }
            return at->second;
        };
        // A device whose configuration follows the version it reports is given one only once it has
        // reported it; the configurations by version are checked here all the same.
        const bool byVersion = !Settings.ConfigFor.empty() || !Settings.OnlyVersion.empty();
        for (size_t i = 0; i < DeviceRuns.size(); ++i) {
            const bool own = !Targets[i].Config.empty();
            const std::string& config = own ? Targets[i].Config : Settings.Config;
            // Without its own, a device's configuration follows its version; and a device of another version
            // than the run takes is skipped, never refused for a configuration it would not get.
            if (config.empty() || (own ? !Settings.OnlyVersion.empty() : byVersion))
                continue;
            const FirmwareCheck& c = check(config);
            DeviceRuns[i]->SetFingerprint(c.Fingerprint);
            if (c.Code == kExitOk)
                continue;
            DeviceRuns[i]->RefuseBeforeConnecting(c.Code, c.Result, c.Message, c.Reason);
            for (ConfigRefusedEvent& e : refused)
                if (e.Config == config)
                    e.Devices.push_back(static_cast<int>(i));
        }
        // The configurations given by version and those of devices whose version decides are checked all
        // the same: a refused one refuses its devices once they have reported their version.
        for (const auto& [version, config] : Settings.ConfigFor)
            check(config);
        for (size_t i = 0; i < Targets.size() && byVersion; ++i)
            if (const std::string& config = Targets[i].Config.empty() ? Settings.Config : Targets[i].Config;
                !config.empty())
                check(config);
    }
    // Told without the parts' lock, which an observer's call of Records takes; no device runs yet.
    parts.unlock();
    for (const ConfigRefusedEvent& e : refused)
        Observer.OnConfigRefused(e);
    parts.lock();
    Threads.resize(DeviceRuns.size()); // a device's thread starts with its wave
    parts.unlock();
    OpenWave(Plan->OpenWave());
    return {};
}

std::vector<int> FleetRun::RecordedWaves(const std::vector<DeviceTarget>& targets) {
    // The recorded waves in their order, numbered from 1 without gaps; a device without one goes last.
    std::vector<int> recorded;
    for (const DeviceTarget& t : targets)
        recorded.push_back(t.Wave > 0 ? t.Wave : std::numeric_limits<int>::max());
    std::vector<int> distinct = recorded;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (int& w : recorded)
        w = static_cast<int>(std::lower_bound(distinct.begin(), distinct.end(), w) - distinct.begin()) + 1;
    return recorded;
}

void FleetRun::OpenWave(int wave) {
    std::vector<size_t> devices;
    int waves = 0;
    {
        std::lock_guard hold(WaveLock);
        waves = Plan->Waves();
        for (const size_t i : Plan->DevicesOf(wave))
            if (!Begun[i]) {
                Begun[i] = true;
                devices.push_back(i);
            }
    }
    if (devices.empty())
        return;
    if (waves > 1) {
        WaveEvent e{std::chrono::system_clock::now(), wave, waves, {}};
        for (const size_t i : devices)
            e.Devices.push_back(DeviceOf(i));
        Observer.OnWave(e);
    }
    std::vector<std::pair<DeviceRun*, std::string>> threadless;
    {
        std::lock_guard parts(PartsLock);
        for (const size_t i : devices) {
            DeviceRun* d = DeviceRuns[i].get();
            try {
                Threads[i] = std::thread([this, d, i] { RunDevice(*d, i); });
            } catch (const std::system_error& e) { // no thread: this device ends as a failure of the tool
                threadless.emplace_back(d, e.what());
            }
        }
    }
    // Ended without the parts' lock: the end rewrites the report, which reads every device's record.
    for (const auto& [d, why] : threadless)
        EndWithoutThread(*d, kExitInternal, "internal", "no thread for the device: " + why);
}

void FleetRun::EndWithoutThread(DeviceRun& device, int code, const std::string& result,
                                const std::string& detail) {
    device.EndNow(code, result, detail);
    {
        std::lock_guard hold(CountLock);
        ++Finished;
    }
    CountChanged.notify_all();
}

FleetDevice FleetRun::DeviceOf(size_t index) const {
    return {static_cast<int>(index), Targets[index].Label, DeviceKey(Targets[index])};
}

std::optional<std::string> FleetRun::CurrentHold() const {
    std::lock_guard hold(WaveLock);
    return Plan->Held();
}

void FleetRun::EndNotBegun(int code, const std::string& result, const std::string& detail) {
    std::vector<size_t> devices;
    {
        std::lock_guard hold(WaveLock);
        for (size_t i = 0; i < Begun.size(); ++i)
            if (!Begun[i]) {
                Begun[i] = true;
                devices.push_back(i);
            }
    }
    const std::vector<DeviceRun*> runs = Devices();
    for (const size_t i : devices)
        EndWithoutThread(*runs[i], code, result, detail);
}

void FleetRun::RunDevice(DeviceRun& device, size_t index) {
    try {
        if (Settings.Task == FleetTask::Update)
            device.RunUpdate();
        else
            device.RunIdentify();
    } catch (const std::exception& e) {
        const LogDeviceScope named(device.Record().Address);
        LogLine(std::string("FleetRun::RunDevice: ") + e.what());
        device.EndNow(kExitInternal, "internal", std::string("the tool failed: ") + e.what());
    }
    {
        std::lock_guard hold(CountLock);
        ++Finished;
        ToJoin.push_back(index);
    }
    CountChanged.notify_all();
}

void FleetRun::JoinEnded() {
    std::vector<size_t> ended;
    {
        std::lock_guard hold(CountLock);
        ended.swap(ToJoin);
    }
    for (const size_t i : ended) {
        std::thread* t = nullptr;
        {
            std::lock_guard hold(PartsLock);
            if (i < Threads.size())
                t = &Threads[i];
        }
        if (t != nullptr && t->joinable())
            t->join();
    }
}

void FleetRun::DeviceEnded(size_t index) {
    if (Settings.Task == FleetTask::Update) {
        const DeviceRecord record = Devices()[index]->Record();
        Rollout::Step step;
        std::vector<size_t> held;
        int failed = 0;
        {
            std::lock_guard hold(WaveLock);
            step = Plan->Ended(index, record.Address, record.Result);
            failed = Plan->Failed();
            if (step.Held)
                for (size_t i = 0; i < Begun.size(); ++i)
                    if (!Begun[i])
                        held.push_back(i);
        }
        if (step.Held) {
            LogLine("FleetRun::DeviceEnded: " + *step.Held);
            HoldEvent e{std::chrono::system_clock::now(), *step.Held, failed, {}};
            for (const size_t i : held)
                e.Held.push_back(DeviceOf(i));
            Observer.OnHold(e);
            if (JobSlots* slots = Slots.get())
                slots->WakeAll(); // devices waiting for their turn are held at once
            EndNotBegun(kExitHeld, kResultHeld, *step.Held);
        }
        if (step.NextWave != 0) {
            if (StopState.Requested())
                EndNotBegun(StopCode(), "interrupted",
                            "interrupted before the update began; nothing was written");
            else
                OpenWave(step.NextWave);
        }
    }
    if (!FinalReport.load())
        RewriteReport(false);
}

int FleetRun::StopCode() const {
    const std::optional<StopReason> reason = StopState.Reason();
    return reason ? reason->Code : kExitInternal;
}

void FleetRun::InterruptDevices() {
    std::vector<LinkWaiter*> waiters;
    JobSlots* slots = nullptr;
    {
        std::lock_guard hold(PartsLock);
        for (const auto& w : Waiters)
            waiters.push_back(w.get());
        slots = Slots.get();
    }
    for (DeviceRun* d : Devices())
        d->Interrupt();
    for (LinkWaiter* w : waiters)
        w->WakeAll();
    if (slots != nullptr)
        slots->WakeAll();
}

void FleetRun::JoinDevices() {
    std::vector<std::thread> threads;
    {
        std::lock_guard hold(PartsLock);
        threads.swap(Threads);
    }
    for (auto& t : threads)
        if (t.joinable())
            t.join();
}

void FleetRun::Stop(const StopReason& reason) {
    {
        std::unique_lock hold(AnnounceLock);
        if (Announcing && Announcer == std::this_thread::get_id())
            return; // from OnInterrupted itself
        // Another thread tells the stop: it is the first, and this call returns once it is in force.
        AnnounceChanged.wait(hold, [this] { return !Announcing; });
        if (SummaryClaimed || StopState.Requested())
            return;
        Announcing = true;
        Announcer = std::this_thread::get_id();
    }
    // Told before any device can see the stop, so that every end it causes comes after it.
    Observer.OnInterrupted({std::chrono::system_clock::now(), reason});
    StopState.Request(reason);
    {
        std::lock_guard hold(AnnounceLock);
        Announcing = false;
        Announcer = {};
    }
    AnnounceChanged.notify_all();
    InterruptDevices();
    // The devices of waves not begun end at once: nothing was written to them.
    EndNotBegun(StopCode(), "interrupted", "interrupted before the update began; nothing was written");
}

bool FleetRun::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool endedNow = false;
    for (bool ended = false; !ended;) {
        {
            std::unique_lock hold(CountLock);
            const size_t devices = Targets.size();
            const auto over = [&] { return Finished >= devices || EndedNow; };
            if (!CountChanged.wait_until(hold, deadline, [&] { return over() || !ToJoin.empty(); }))
                return false;
            ended = over();
            endedNow = EndedNow;
        }
        if (!endedNow)
            JoinEnded();
    }
    if (!endedNow)
        JoinDevices();
    TellSummary();
    return true;
}

int FleetRun::EndNow(const StopReason& reason) {
    Stop(reason);
    const int code = StopState.Reason().value_or(reason).Code;
    FinalReport = true;
    for (DeviceRun* d : Devices())
        d->EndInterrupted(code);
    {
        std::lock_guard hold(CountLock);
        EndedNow = true;
    }
    CountChanged.notify_all();
    TellSummary();
    return Code();
}

int FleetRun::Code() const {
    std::lock_guard hold(AnnounceLock);
    return SummaryCode;
}

void FleetRun::RewriteReport(bool wait) {
    if (Settings.ReportPath.empty())
        return;
    std::unique_lock hold(ReportLock);
    const uint64_t asked = ++ReportAsked;
    if (ReportWriting) {
        // The writer writes once more, with this device's record as it is now.
        if (wait)
            ReportChanged.wait(hold, [&] { return ReportMade >= asked || FinalWritten; });
        return;
    }
    ReportWriting = true;
    while (ReportMade < ReportAsked && !FinalWritten) {
        const uint64_t covered = ReportAsked;
        const ReportRun run = RunInfo;
        hold.unlock();
        const std::string error = WriteReport(Settings.ReportPath, Records(), run, Settings.Carried);
        if (!error.empty())
            TellReportProblem(error);
        hold.lock();
        ReportMade = covered;
        ReportChanged.notify_all();
    }
    ReportWriting = false;
    ReportChanged.notify_all();
}

std::string FleetRun::WriteReportNow(const SummaryEvent& summary) {
    std::unique_lock hold(ReportLock);
    // After the write under way, and nothing after this one.
    ReportChanged.wait(hold, [this] { return !ReportWriting; });
    FinalWritten = true;
    ReportChanged.notify_all();
    RunInfo.End = summary.Time;
    RunInfo.ExitCode = summary.Code;
    if (const std::optional<StopReason> stop = StopState.Reason())
        RunInfo.Signal = stop->Signal;
    const ReportRun run = RunInfo;
    hold.unlock();
    if (Settings.ReportPath.empty())
        return {};
    return WriteReport(Settings.ReportPath, summary.Records, run, Settings.Carried);
}

void FleetRun::TellReportProblem(const std::string& error) {
    {
        std::lock_guard hold(AnnounceLock);
        if (SummaryClaimed)
            return; // the final write, which comes next, tells its own
        ++ProblemsTelling;
    }
    Observer.OnReportProblem({std::chrono::system_clock::now(), error});
    {
        std::lock_guard hold(AnnounceLock);
        --ProblemsTelling;
    }
    AnnounceChanged.notify_all();
}

void FleetRun::TellSummary() {
    {
        std::unique_lock hold(AnnounceLock);
        // A stop being told comes first; a summary told by another thread (EndNow's, Wait's) is waited for.
        AnnounceChanged.wait(hold, [this] { return !Announcing; });
        if (SummaryClaimed) {
            AnnounceChanged.wait(hold, [this] { return SummaryTold; });
            return;
        }
        SummaryClaimed = true;
    }
    SummaryEvent summary;
    summary.Records = Records();
    summary.Devices = static_cast<int>(summary.Records.size());
    for (const DeviceRecord& r : summary.Records) {
        const int code = r.Code.value_or(kExitInternal);
        summary.Code = std::max(summary.Code, code);
        summary.Ok += code == kExitOk ? 1 : 0;
        ++summary.Results[r.Code ? r.Result : "internal"];
    }
    // A stopped run is never a success, even where every device had finished by then.
    if (const std::optional<StopReason> stop = StopState.Reason()) {
        summary.Stopped = true;
        summary.Code = std::max(summary.Code, stop->Code);
    }
    summary.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    summary.Time = std::chrono::system_clock::now();
    if (std::string error = WriteReportNow(summary); !error.empty())
        Observer.OnReportProblem({std::chrono::system_clock::now(), error});
    {
        std::unique_lock hold(AnnounceLock);
        AnnounceChanged.wait(hold, [this] { return ProblemsTelling == 0; });
        SummaryCode = summary.Code;
    }
    Observer.OnSummary(summary);
    {
        std::lock_guard hold(AnnounceLock);
        SummaryTold = true;
    }
    AnnounceChanged.notify_all();
}
