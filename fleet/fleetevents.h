// The events of a fleet run and of a scan, and FleetObserver, the interface a front end receives them
// through (the command line's text, JSON Lines and live lines; a window's table of devices).
//
// Threading contract:
// - Device events come from that device's own threads (the device's run and its update worker), events
//   of different devices at the same time from different threads. The events of one device never
//   overlap and arrive in the order they happened; after a device's Done nothing more comes of it.
// - OnConfigRefused comes from the thread that called Start, before any device's event.
// - OnWave comes before any event of that wave's devices: the first from the thread that called Start, the
//   next ones from the thread of the device that ended the wave before. OnHold comes from the thread of the
//   device whose end held the run, before the Done of any device it holds.
// - OnInterrupted comes from the thread that called Stop, before any device ends as interrupted by it;
//   OnSummary (and OnScanSummary) from the thread that called Wait, after every device's Done (every
//   found device), last of all.
// - A callback must not block the run: it returns promptly, never waits for a GUI thread or for another
//   callback, and never calls Wait or EndNow. It may call Stop and Records from every callback: the run
//   and the scan call their observer without holding a lock of theirs (a device only keeps its own
//   events from overlapping). A Stop from OnInterrupted or after the summary changes nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fleet/devicetarget.h"
#include "fleet/runreport.h"
#include "fleet/runstop.h"

using EventTime = std::chrono::system_clock::time_point;

// Which device of a run an event is about.
struct FleetDevice {
    int Index = 0;     // its place in the run's list of targets, from 0
    std::string Label; // HOST:PORT as given
    std::string Key;   // DeviceKey: one device however its address is written
};

struct DeviceEvent {
    FleetDevice Device;
    EventTime Time;
};

// An attempt begins: the device is connected to (again).
struct ConnectingEvent : DeviceEvent {
    int Attempt = 1;
};
// The connection was opened.
struct ConnectedEvent : DeviceEvent {};
// The device answered: what it reported on this connection.
struct IdentifiedEvent : DeviceEvent {
    bool Online = false;
    DeviceIdentity Identity;
};
// Pages that go to one object: its parameters First to Last.
struct PageRun {
    int Obj = 0;
    int FirstPar = 0;
    int LastPar = 0;
    int64_t Pages = 0;
};
// A dry run passed every check: what the update would write.
struct PlanEvent : DeviceEvent {
    std::string Image;
    int64_t Bytes = 0;
    int64_t Pages = 0;
    std::vector<PageRun> PageRuns; // the objects that receive the pages, first to last
    std::string Name;              // the firmware name the device would be told, printable
    int32_t Version = 0;
    int32_t Revision = 0;
    uint32_t Date = 0; // the date value of today
    double Seconds = 0;
};
// The rules passed; the device waits its turn (at most Jobs devices are programmed at once).
struct WaitingEvent : DeviceEvent {
    int Jobs = 0;
};
// The programming sequence began (the flash is erased first).
struct StartedEvent : DeviceEvent {
    std::string Caption; // the update's own caption: "Firmware Update:"
    int64_t Pages = 0;
    double SecondsLeft = 0;
};
// After every page (NewPage), and between pages as often as RunSettings::RefreshEvery asks.
struct ProgressEvent : DeviceEvent {
    int64_t Written = 0;
    int64_t Pages = 0;
    double SecondsLeft = 0;
    bool NewPage = false;
};
// A text the update logic shows the operator: "Firmwareupdate OK", "binary - File not found", ...
struct MessageEvent : DeviceEvent {
    std::string Text;
};
// An attempt failed and another one follows after Pause.
struct RetryEvent : DeviceEvent {
    int Attempt = 0;    // the one about to run
    int Attempts = 0;   // at most
    std::string Reason; // the failed attempt's result word, code and detail
    int Code = 0;
    std::string Detail;
    std::chrono::milliseconds Pause{0};
};
// The device was refused before anything was written (IsRefusal): comes right before its Done.
struct RefusedEvent : DeviceEvent {
    std::string Reason;  // the result word: no-connection, oem-rule, ...
    std::string Message; // the update logic's text, or the detail when it showed none
    std::string Detail;
};
// The device's end, once per device, its last event.
struct DoneEvent : DeviceEvent {
    std::string Result; // ok, dry-run, failed, interrupted, oem-rule, ..., internal
    int Code = 0;
    std::string Message; // the last text the update logic showed
    std::string Detail;  // how it ended, in words
    std::string Cause;   // no-connection: why, in one word (DeviceRecord::Cause)
    std::string Flash;   // the flash's state in one word (DeviceRecord::Flash)
};

// The run (or scan) was asked to stop.
struct InterruptedEvent {
    EventTime Time;
    StopReason Reason;
};
// The run's end, after every device's Done.
struct SummaryEvent {
    EventTime Time;
    std::vector<DeviceRecord> Records;  // in the order of the targets
    std::map<std::string, int> Results; // the Done events' result words, counted
    int Devices = 0;
    int Ok = 0;   // devices that ended with code 0
    int Code = 0; // the highest code; never 0 when the run was stopped
    bool Stopped = false;
    double Seconds = 0;
};
// Before any device is connected: a configuration, or its image, that refuses every device of it. Each of
// those devices then ends with this refusal (its Done as ever), never connected.
struct ConfigRefusedEvent {
    EventTime Time;
    std::string Config;
    std::string Result; // "bad-config", "image-not-found", ...
    int Code = 0;
    std::string Message;      // the window's message ("binary - File not found")
    std::string Detail;       // the refusal as each device's Done tells it
    std::vector<int> Devices; // their indexes
};

// A wave of the rollout begins: its devices are connected and updated now (at most Jobs at once).
struct WaveEvent {
    EventTime Time;
    int Wave = 0;  // from 1
    int Waves = 0; // in all
    std::vector<FleetDevice> Devices;
};
// The rollout holds the devices that have not begun programming: more devices failed than it tolerates, or
// a wave ended with a failure. Devices being programmed finish; the others end as held, untouched.
struct HoldEvent {
    EventTime Time;
    std::string Detail;    // why, as each held device's detail tells it
    int Failed = 0; // the failures that held it
    // The devices of the waves not begun, held at once; the open wave's devices not begun follow as held
    // when they come to begin.
    std::vector<FleetDevice> Held;
};

// The report could not be written (it is tried again whenever a device ends).
struct ReportProblemEvent {
    EventTime Time;
    std::string Error;
};

// A scan: an address that answered, in address order.
struct FoundEvent {
    EventTime Time;
    DeviceTarget Device;
    DeviceIdentity Identity;
};
// A scan: an address that took the connection but did not identify (silent, or closed it at once), in
// address order among the found ones.
struct UnidentifiedEvent {
    EventTime Time;
    DeviceTarget Device;
    std::string Detail; // how it ended ("127.0.0.5:2000 closed the connection at once, before any answer")
};
struct ScanSummaryEvent {
    EventTime Time;
    std::string Range; // as given
    int Port = 0;
    uint32_t Addresses = 0; // in the range
    uint32_t Scanned = 0;   // probed to an outcome, in address order from the first address on
    uint32_t Found = 0;
    uint32_t Unidentified = 0; // took the connection but did not identify
    uint32_t Refused = 0;      // refused the connection
    uint32_t Unfinished = 0;   // probes the stop ended before they had an outcome (not scanned)
    int Code = 0; // kExitOk when a device answered, kExitNoConnection when none did, the stop's code
    bool Stopped = false;
    double Seconds = 0;
};

class FleetObserver {
public:
    virtual ~FleetObserver() = default;

    virtual void OnConnecting(const ConnectingEvent&) {}
    virtual void OnConnected(const ConnectedEvent&) {}
    virtual void OnIdentified(const IdentifiedEvent&) {}
    virtual void OnPlan(const PlanEvent&) {}
    virtual void OnWaiting(const WaitingEvent&) {}
    virtual void OnStarted(const StartedEvent&) {}
    virtual void OnProgress(const ProgressEvent&) {}
    virtual void OnMessage(const MessageEvent&) {}
    virtual void OnRetry(const RetryEvent&) {}
    virtual void OnRefused(const RefusedEvent&) {}
    virtual void OnDone(const DoneEvent&) {}
    virtual void OnInterrupted(const InterruptedEvent&) {}
    virtual void OnSummary(const SummaryEvent&) {}
    virtual void OnReportProblem(const ReportProblemEvent&) {}
    virtual void OnConfigRefused(const ConfigRefusedEvent&) {}
    virtual void OnWave(const WaveEvent&) {}
    virtual void OnHold(const HoldEvent&) {}

    virtual void OnFound(const FoundEvent&) {}
    virtual void OnUnidentified(const UnidentifiedEvent&) {}
    virtual void OnScanSummary(const ScanSummaryEvent&) {}
};
