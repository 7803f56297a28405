// ScanRun: a pool of probing threads over one link manager, the answers told in address order.
#include "fleet/devicescan.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "fleet/devicerun.h"
#include "fleet/linkwaiter.h"
#include "link/conbase.h"

ScanRun::ScanRun(ScanSettings settings, FleetObserver& observer)
    : Settings(std::move(settings)), Observer(observer) {
    ProbeSettings.Task = FleetTask::Identify;
    ProbeSettings.Timeout = Settings.Timeout;
}

ScanRun::~ScanRun() {
    StopState.Request({});
    if (Waiter)
        Waiter->WakeAll();
    for (auto& t : Threads)
        if (t.joinable())
            t.join();
}

DeviceTarget ScanRun::TargetOf(uint32_t index) const {
    DeviceTarget t;
    t.Host = DottedAddress(Settings.Addresses.First + index);
    t.Port = Settings.Port;
    t.Label = t.Host + ":" + std::to_string(t.Port);
    return t;
}

std::string ScanRun::Start() {
    const uint32_t count = Settings.Addresses.Count;
    {
        std::lock_guard hold(Lock);
        if (Link)
            return "the scan was started already";
        Started = std::chrono::steady_clock::now();
        Answers.assign(count, std::nullopt);
        Silences.assign(count, std::nullopt);
        Probed.assign(count, false);
        Cut.assign(count, false);
        Link = std::make_unique<ConBase>();
        Waiter = std::make_unique<LinkWaiter>(*Link);
    }
    const int64_t parallel = std::max<int64_t>(
        1, std::min<int64_t>({Settings.Parallel, kScanParallel, std::max<uint32_t>(count, 1)}));
    for (int64_t w = 0; w < parallel; ++w) {
        {
            // Counted first: a probe that ends at once counts itself down.
            std::lock_guard hold(Lock);
            ++Running;
        }
        try {
            Threads.emplace_back([this] { Probe(); });
        } catch (const std::system_error& e) {
            {
                std::lock_guard hold(Lock);
                --Running;
            }
            if (Threads.empty())
                return std::string("no thread: ") + e.what();
            break; // the threads there are take all addresses
        }
    }
    return {};
}

void ScanRun::Probe() {
    const DeviceRun::Shared shared{*Link, *Waiter, nullptr, StopState, ProbeSettings, nullptr, {}};
    for (;;) {
        const uint32_t index = Next.fetch_add(1);
        if (index >= Settings.Addresses.Count || StopState.Requested())
            break;
        DeviceTarget target = TargetOf(index);
        const std::string label = target.Label;
        DeviceRun device(shared, {static_cast<int>(index), label, DeviceKey(target)}, std::move(target));
        const DeviceRun::Probed probed = device.Probe();
        std::unique_lock hold(Lock);
        if (probed == DeviceRun::Probed::Answered)
            Answers[index] = device.Record().Identity;
        else if (probed == DeviceRun::Probed::NotIdentified)
            Silences[index] = device.ProbeDetail();
        else if (probed == DeviceRun::Probed::Refused)
            ++Refused;
        Cut[index] = probed == DeviceRun::Probed::Stopped;
        Probed[index] = true;
        TellReady(hold);
    }
    {
        std::lock_guard hold(Lock);
        --Running;
    }
    Changed.notify_all();
}

void ScanRun::TellReady(std::unique_lock<std::mutex>& hold) {
    if (Telling)
        return; // the thread that tells takes this answer too
    Telling = true;
    while (Told < Settings.Addresses.Count && Probed[Told]) {
        const uint32_t index = Told++;
        if (Cut[index]) {
            ++Unfinished;
            continue;
        }
        const std::optional<DeviceIdentity> id = Answers[index];
        const std::optional<std::string> silence = Silences[index];
        Found += id ? 1 : 0;
        Unidentified += !id && silence ? 1 : 0;
        if (!id && !silence)
            continue;
        hold.unlock();
        if (id)
            Observer.OnFound({std::chrono::system_clock::now(), TargetOf(index), *id});
        else
            Observer.OnUnidentified({std::chrono::system_clock::now(), TargetOf(index), *silence});
        hold.lock();
    }
    Telling = false;
    Changed.notify_all();
}

void ScanRun::Stop(const StopReason& reason) {
    {
        std::lock_guard hold(Lock);
        if (SummaryTold || StopAsked)
            return;
        StopAsked = true;
        Announcing = true;
    }
    // Told before any probe can see the stop, so that every end it causes comes after it.
    Observer.OnInterrupted({std::chrono::system_clock::now(), reason});
    StopState.Request(reason);
    {
        std::lock_guard hold(Lock);
        Announcing = false;
        if (Waiter)
            Waiter->WakeAll();
    }
    Changed.notify_all();
}

bool ScanRun::Wait(std::chrono::milliseconds limit) {
    std::unique_lock hold(Lock);
    if (!Changed.wait_for(hold, limit, [this] { return Running == 0 && !Telling && !Announcing; }))
        return false;
    if (SummaryTold)
        return true;
    hold.unlock();
    for (auto& t : Threads)
        if (t.joinable())
            t.join();
    hold.lock();
    const std::optional<StopReason> stop = StopState.Reason();
    ScanSummaryEvent summary;
    summary.Time = std::chrono::system_clock::now();
    summary.Range = Settings.Range;
    summary.Port = Settings.Port;
    summary.Addresses = Settings.Addresses.Count;
    summary.Scanned = Told - Unfinished;
    summary.Found = Found;
    summary.Unidentified = Unidentified;
    summary.Refused = Refused;
    summary.Unfinished = Unfinished;
    summary.Stopped = stop.has_value();
    summary.Code = stop ? stop->Code : Found > 0 ? kExitOk : kExitNoConnection;
    summary.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    SummaryTold = true;
    SummaryCode = summary.Code;
    hold.unlock();
    Observer.OnScanSummary(summary);
    return true;
}

int ScanRun::Code() {
    std::lock_guard hold(Lock);
    return SummaryCode;
}

uint32_t ScanRun::Checked() {
    std::lock_guard hold(Lock);
    return Told;
}
