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
        std::lock_guard hold(Lock);
        if (probed == DeviceRun::Probed::Answered)
            Answers[index] = device.Record().Identity;
        else if (probed == DeviceRun::Probed::NotIdentified)
            Silences[index] = device.ProbeDetail();
        else if (probed == DeviceRun::Probed::Refused)
            ++Refused;
        Probed[index] = true;
        TellReady();
    }
    {
        std::lock_guard hold(Lock);
        --Running;
    }
    Changed.notify_all();
}

void ScanRun::TellReady() {
    while (Told < Settings.Addresses.Count && Probed[Told]) {
        if (const auto& id = Answers[Told]) {
            Observer.OnFound({std::chrono::system_clock::now(), TargetOf(Told), *id});
            ++Found;
        } else if (const auto& silence = Silences[Told]) {
            Observer.OnUnidentified({std::chrono::system_clock::now(), TargetOf(Told), *silence});
            ++Unidentified;
        }
        ++Told;
    }
}

void ScanRun::Stop(const StopReason& reason) {
    {
        std::lock_guard hold(Lock);
        if (SummaryTold || StopState.Requested())
            return;
        Observer.OnInterrupted({std::chrono::system_clock::now(), reason});
        StopState.Request(reason);
        if (Waiter)
            Waiter->WakeAll();
    }
}

bool ScanRun::Wait(std::chrono::milliseconds limit) {
    std::unique_lock hold(Lock);
    if (!Changed.wait_for(hold, limit, [this] { return Running == 0; }))
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
    summary.Scanned = Told;
    summary.Found = Found;
    summary.Unidentified = Unidentified;
    summary.Refused = Refused;
    summary.Stopped = stop.has_value();
    summary.Code = stop ? stop->Code : Found > 0 ? kExitOk : kExitNoConnection;
    summary.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    SummaryTold = true;
    SummaryCode = summary.Code;
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
