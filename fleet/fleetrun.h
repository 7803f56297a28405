// FleetRun: many devices identified or updated at once, each in a thread of its own, over link managers
// that hold one device of an address each. The front end gives the targets and the settings, receives the
// events (fleetevents.h), may stop the run at any time and read every device's record.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fleet/firmwarecheck.h"
#include "fleet/fleetevents.h"
#include "fleet/rollout.h"
#include "fleet/runsettings.h"
#include "fleet/runstop.h"

class ConBase;
class DeviceRun;
class ImageFiles;
class JobSlots;
class LinkWaiter;

class FleetRun {
public:
    // observer outlives the run. A target without a configuration of its own takes settings.Config.
    FleetRun(std::vector<DeviceTarget> targets, RunSettings settings, FleetObserver& observer);
    // Stops a run that still runs (without an Interrupted event) and waits for its devices.
    ~FleetRun();
    FleetRun(const FleetRun&) = delete;
    FleetRun& operator=(const FleetRun&) = delete;

    // Writes the report a first time, then starts every device. Empty, or why the run cannot start (the
    // report cannot be written); no device is touched then. Once.
    std::string Start();
    // Waits at most limit for every device to end: true once they have, after the final report and the
    // summary, which this call tells the first time it returns true. One thread waits.
    bool Wait(std::chrono::milliseconds limit);
    // Stops the run, sticky: the first call tells Interrupted (unless the summary was told), then every
    // device stops at its next step: a wait for answers, for its turn or before another attempt ends at
    // once, and an update stops between pages. The devices end as interrupted with reason.Code. Any thread,
    // also before Start.
    void Stop(const StopReason& reason);
    // Ends the run at once without waiting for its devices: Stop, then every device that has not ended ends
    // as interrupted (with what it had sent), then the final report and the summary. What the devices still
    // do tells nothing more; the caller may leave the process. The run's code.
    int EndNow(const StopReason& reason);

    // Every device's record as far as it got, in the order of the targets. Any thread.
    std::vector<DeviceRecord> Records() const;
    // The run's code once the summary was told (the highest code of its devices; never 0 when it was
    // stopped), else 0.
    int Code() const;

private:
    void RunDevice(DeviceRun& device, size_t index);
    // Starts the threads of the wave's devices (those not begun), after telling the wave.
    void OpenWave(int wave);
    // Ends a device that has no thread (not begun, or none could be made) and counts it as finished.
    void EndWithoutThread(DeviceRun& device, int code, const std::string& result, const std::string& detail);
    // Ends every device not begun: held, or interrupted by a stop in a wave's gap.
    void EndNotBegun(int code, const std::string& result, const std::string& detail);
    std::optional<std::string> CurrentHold() const;
    FleetDevice DeviceOf(size_t index) const;
    int StopCode() const;
    // The waves the targets carry from an earlier run, numbered from 1 in their order.
    static std::vector<int> RecordedWaves(const std::vector<DeviceTarget>& targets);
    // Joins the threads of the devices that have ended since the last call.
    void JoinEnded();
    // A device has ended (in its thread, right after its Done): the rollout's next step, the report.
    void DeviceEnded(size_t index);
    std::vector<DeviceRun*> Devices() const;
    void InterruptDevices();
    void JoinDevices();
    // Writes the report with every record as it is now, unless the final report was written; one write at
    // a time: a device that asks while another one writes has the writer write once more, and with wait
    // returns once that write has ended.
    void RewriteReport(bool wait);
    // The final report, with the run's end, code and stop signal as the summary tells them: the last write.
    std::string WriteReportNow(const SummaryEvent& summary);
    // Tells a report that could not be written, unless the summary is on its way.
    void TellReportProblem(const std::string& error);
    void TellSummary();

    const std::vector<DeviceTarget> Targets;
    const RunSettings Settings;
    FleetObserver& Observer;
    RunStop StopState;
    std::chrono::steady_clock::time_point Started;

    // Guards the parts below while Start builds them; then they stay as they are.
    mutable std::mutex PartsLock;
    bool StartCalled = false;
    // Declared in this order so that they go in the reverse one: the devices (their threads joined by
    // then), the turns, the receivers, and last the link managers with their threads.
    std::vector<std::unique_ptr<ConBase>> Links;
    std::vector<std::unique_ptr<LinkWaiter>> Waiters;
    std::unique_ptr<JobSlots> Slots;
    std::unique_ptr<ImageFiles> Images; // read once for all devices
    // Each configuration of the run as checked once before any device was connected (Start fills it).
    std::map<std::string, FirmwareCheck> Checks;

    // The rollout: its waves and hold, and the devices begun (their thread started, or ended without one).
    // WaveLock is taken before PartsLock and CountLock, never under another lock.
    mutable std::mutex WaveLock;
    std::unique_ptr<Rollout> Plan;
    std::vector<bool> Begun;
    std::vector<std::unique_ptr<DeviceRun>> DeviceRuns;
    std::vector<std::thread> Threads; // by device (a device without a thread has an empty one)

    // The devices whose threads have ended, and whether EndNow ended the run.
    std::mutex CountLock;
    std::condition_variable CountChanged;
    size_t Finished = 0;
    // The threads ended and not yet joined: joined while the others still run, each join of a thousand
    // frees a stack, rather than all of them after the last device.
    std::vector<size_t> ToJoin;
    bool EndedNow = false;

    // The report's writes, made without the lock: the fields below under it.
    std::mutex ReportLock;
    std::condition_variable ReportChanged;
    ReportRun RunInfo;          // the report's run
    uint64_t ReportAsked = 0;   // writes asked for
    uint64_t ReportMade = 0;    // of those, covered by a write that has ended
    bool ReportWriting = false; // a thread writes it now
    bool FinalWritten = false;  // the final report is written or on its way: nothing is written after it
    std::atomic<bool> FinalReport{false}; // EndNow writes it once for all

    // Orders Interrupted before the summary, and nothing after it. The observer is called without it:
    // what the fields below say is on its way keeps the order.
    mutable std::mutex AnnounceLock;
    std::condition_variable AnnounceChanged;
    bool Announcing = false;     // Interrupted is being told ...
    std::thread::id Announcer;   // ... by this thread
    int ProblemsTelling = 0;     // report problems being told
    bool SummaryClaimed = false; // the summary is on its way: no Interrupted and no problem after it
    bool SummaryTold = false;    // OnSummary has returned
    int SummaryCode = 0;
};
