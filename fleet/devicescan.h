// ScanRun: finds the devices of an address range. Every address is connected to at once (at most
// ScanSettings::Parallel at a time) over one link manager and identified as a run identifies its
// devices; what answered is told in address order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fleet/addressrange.h"
#include "fleet/fleetevents.h"
#include "fleet/runsettings.h"
#include "fleet/runstop.h"

class ConBase;
class LinkWaiter;

// Connections under way at once unless the settings ask for fewer.
constexpr int kScanParallel = 256;

struct ScanSettings {
    std::string Range; // as given, for the summary
    AddressRange Addresses;
    int Port = kDefaultDevicePort;
    // How long an address that took the connection may take to answer.
    std::chrono::milliseconds Timeout{5000};
    // Connections under way at once, at most kScanParallel (the front end may allow fewer: each takes a
    // file of the process).
    int Parallel = kScanParallel;
};

class ScanRun {
public:
    // observer outlives the scan; it receives OnFound, OnUnidentified, OnInterrupted and OnScanSummary.
    ScanRun(ScanSettings settings, FleetObserver& observer);
    ~ScanRun();
    ScanRun(const ScanRun&) = delete;
    ScanRun& operator=(const ScanRun&) = delete;

    // Starts the probes. Empty, or why no probe could start. Once. The observer is called without any lock
    // of the scan and may call Stop.
    std::string Start();
    // Waits at most limit for the scan to end: true once it has, after the summary, which this call tells
    // the first time it returns true. One thread waits.
    bool Wait(std::chrono::milliseconds limit);
    // Stops the scan, sticky: the first call tells Interrupted; probes under way end at once and no
    // address is taken any more. Any thread.
    void Stop(const StopReason& reason);
    // The scan's code once the summary was told (kExitOk when a device answered, kExitNoConnection when
    // none did, the stop's code when stopped), else 0.
    int Code();
    // The addresses probed so far, from the first one on without a gap (a front end's progress). Any thread.
    uint32_t Checked();

private:
    void Probe();
    // Tells the answers in address order, as far as every lower address has been probed: one thread at a
    // time, the others leave theirs to it. Called with hold locked, returns with it locked; the observer is
    // called without it.
    void TellReady(std::unique_lock<std::mutex>& hold);
    DeviceTarget TargetOf(uint32_t index) const;

    const ScanSettings Settings;
    RunSettings ProbeSettings;
    FleetObserver& Observer;
    RunStop StopState;
    std::chrono::steady_clock::time_point Started;

    // Guarded by Lock: each address's answer, the probes still running, what was told.
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::optional<DeviceIdentity>> Answers;
    std::vector<std::optional<std::string>>
        Silences; // why an address that took the connection did not answer
    std::vector<bool> Probed;
    std::vector<bool> Cut; // the stop ended its probe before it had an outcome
    uint32_t Told = 0;
    uint32_t Found = 0;
    uint32_t Unidentified = 0;
    uint32_t Refused = 0;
    uint32_t Unfinished = 0;
    int Running = 0;
    bool Telling = false;    // a thread tells the answers (TellReady)
    bool Announcing = false; // Interrupted is being told
    bool StopAsked = false;
    bool SummaryTold = false;
    int SummaryCode = 0;
    std::atomic<uint32_t> Next{0};

    // Declared in this order so that the probes' threads end before the receiver and the link go.
    std::unique_ptr<ConBase> Link;
    std::unique_ptr<LinkWaiter> Waiter;
    std::vector<std::thread> Threads;
};
