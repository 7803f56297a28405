// FleetPresenter: what the window of many devices does, without a toolkit. It finds devices (a scan of an
// address range, a device list file, one address), keeps the table of devices with what each reported and
// how far it got, lets the operator select devices (all, none, those of one version), runs the update of
// the selected ones on the fleet engine (jobs, retries, the rules per device, a sticky stop) and keeps the
// run's report. It draws through a FleetView, the Qt or the Win32 window.
//
// The engine's events come from device threads: they are collected under a short lock and handed to the
// view as one batch of changed rows at most every kRefreshMs, however many devices report.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/fleetview.h"
#include "fleet/devicescan.h"
#include "fleet/fleetevents.h"
#include "fleet/fleetrun.h"
#include "link/sockets.h"

// The ranges a scan offers by default: each network as A.B.C.D/NN, a network wider than a scan may cover
// as the /24 around the computer's own address; loopback and duplicates left out.
std::vector<std::string> DefaultScanRanges(const std::vector<SockNetwork>& networks);

struct FleetOptions {
    // The command line without the program name ("-admin", exactly, lifts the OEM rule).
    std::vector<std::string> Arguments;
    // The ranges offered to scan (DefaultScanRanges of the computer's networks).
    std::vector<std::string> Ranges;
    // Where the report of the last run is written while it runs (beside the log); empty: nowhere.
    std::string AutoReportPath;
    // How long a device may take to answer its identification reads.
    std::chrono::milliseconds Timeout{5000};
    // Paces the updates by this clock instead of real time (tests); nullptr: real time.
    UpdateClock* Clock = nullptr;
};

class FleetPresenter {
public:
    // The view is refreshed at most this often (about ten times a second).
    static constexpr int kRefreshMs = 100;

    // Builds the window's start state in view and binds view to this presenter; runs on the UI thread.
    // view must outlive the presenter.
    FleetPresenter(FleetView& view, FleetOptions options);
    // Stops a scan or an update that still runs (an update between two pages) and waits for it.
    ~FleetPresenter();
    FleetPresenter(const FleetPresenter&) = delete;
    FleetPresenter& operator=(const FleetPresenter&) = delete;

    std::string Title() const;
    bool Busy() const { return Job != JobKind::None; }

    // Scans range (A.B.C.D/NN, A.B.C.D-E or one address) on port; found devices are added as they answer.
    void OnScan(const std::string& range, const std::string& port);
    // Adds the devices of a device list file the operator chooses and asks each who it is.
    void OnOpenList();
    // Adds one device, HOST[:PORT], and asks it who it is.
    void OnAdd(const std::string& device);
    // The check box of the row at position.
    void OnRowChecked(size_t position, bool selected);
    void OnSelectAll();
    void OnSelectNone();
    // Selects the devices that report version, and no others.
    void OnSelectVersion(const std::string& version);
    // Orders the table by column.
    void OnSort(FleetColumn column, bool ascending);
    // Lets the operator choose the configuration file and shows what it holds.
    void OnChooseConfig();
    // Updates the selected devices with the chosen configuration, at most jobs at once (0: all), each
    // tried again up to retries more times after a lost link or an error.
    void OnUpdateSelected(int jobs, int retries);
    // Stops the scan, or every update between two pages (sticky).
    void OnStop();
    // Saves the last run's report where the operator chooses (CSV or JSON by the extension).
    void OnSaveReport();
    // The operator asks to close the window: true when it may close. While an update runs the window
    // says so and stays open.
    bool OnCloseRequest();

    // Where the engine's events reach the presenter (any thread).
    FleetObserver& Events() { return Observer; }

private:
    enum class JobKind { None, Scan, Identify, Update };

    struct Device {
        DeviceTarget Target;
        std::string Key;
        DeviceIdentity Identity;
        bool Selected = false;
        std::string State;
        int Percent = -1;
        // In the current run: its progress, and whether its update began (a stop leaves it incomplete).
        int64_t Written = 0, Pages = 0;
        bool Started = false;
        bool Ended = false;
    };
    // What the engine told of a device of the current job since the last refresh.
    struct Change {
        std::optional<DeviceIdentity> Identity;
        std::optional<std::string> State;
        int Percent = -1;
        int64_t Written = 0, Pages = 0;
        bool Started = false;
        std::optional<DoneEvent> Done;
    };

    class EngineEvents : public FleetObserver {
    public:
        explicit EngineEvents(FleetPresenter& p) : P(p) {}
        void OnConnecting(const ConnectingEvent& e) override;
        void OnIdentified(const IdentifiedEvent& e) override;
        void OnWaiting(const WaitingEvent& e) override;
        void OnStarted(const StartedEvent& e) override;
        void OnProgress(const ProgressEvent& e) override;
        void OnRetry(const RetryEvent& e) override;
        void OnRefused(const RefusedEvent& e) override;
        void OnDone(const DoneEvent& e) override;
        void OnFound(const FoundEvent& e) override;

    private:
        FleetPresenter& P;
    };

    // Engine threads: changes the pending record of the job's device index under the lock, then asks
    // for a refresh.
    template <typename Fn> void Note(int index, Fn&& fn);
    void RequestRefresh();
    // UI thread: applies what is pending and draws the changed rows.
    void Refresh();
    void JobEnded();

    size_t AddDevice(const DeviceTarget& target, bool& added);
    FleetRow RowOf(const Device& d) const;
    void DrawAll();
    void DrawVersions();
    void SetSelected(const std::function<bool(const Device&)>& selected);
    void IdentifyNew(const std::vector<size_t>& devices);
    void StartJob(JobKind kind, std::vector<size_t> devices, const RunSettings& settings);
    std::string EndText(const std::vector<DeviceRecord>& records);
    void Post(std::function<void()> fn);

    FleetView& View;
    const FleetOptions Options;
    const bool Admin;
    EngineEvents Observer{*this};
    std::shared_ptr<int> AliveToken = std::make_shared<int>(0);

    // UI thread.
    std::vector<Device> Devices;
    std::vector<size_t> Order; // the table's rows, top to bottom, as indices into Devices
    std::vector<std::string> Versions;
    std::string ConfigPath;
    bool ConfigOk = false;
    std::atomic<JobKind> Job{JobKind::None};
    std::vector<size_t> JobDevices; // the job's device index -> Devices
    std::chrono::steady_clock::time_point JobStarted;
    std::vector<DeviceRecord> Records;
    std::chrono::steady_clock::time_point LastRefresh;
    bool Stopping = false;

    // Engine threads and UI thread, under PendingLock (taken alone, briefly).
    std::mutex PendingLock;
    std::vector<Change> Pending;   // by the job's device index
    std::vector<int> PendingDirty; // job indices with a change
    std::vector<bool> DirtyFlag;   // by the job's device index
    std::vector<FoundEvent> Found; // scan answers not yet in the table
    bool JobDone = false;          // the waiter saw the job end
    bool RefreshScheduled = false;

    // The running job and the thread that waits for its end; the thread goes before the job.
    std::unique_ptr<ScanRun> Scan;
    std::unique_ptr<FleetRun> Run;
    std::thread Waiter;
};
