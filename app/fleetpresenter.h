// FleetPresenter: what the window of many devices does, without a toolkit. It finds devices (a scan of an
// address range, a device list file, one address), keeps the table of devices with what each reported, how
// far it got and how its last update ended (kept across scans until it is updated again), keeps one
// selection (all, none, by state, by version), runs the update of the selected devices on the fleet engine
// (jobs, retries, the rules per device, a sticky stop, a rollout in waves with a failure threshold, a
// configuration for all and one per reported version), keeps the run's summary, report and each device's
// details, and the window's settings. It draws through a FleetView, the Qt or the Win32 window.
//
// The engine's events come from device threads: they are collected under a short lock and handed to the
// view as one batch of changed rows at most every kRefreshMs, however many devices report.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "app/fleetsettings.h"
#include "app/fleetview.h"
#include "base/log.h"
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
    // The fields, the configuration and the size the window had when it was last closed.
    FleetSettings Settings;
    // How long a device may take to answer its identification reads.
    std::chrono::milliseconds Timeout{5000};
    // Paces the updates by this clock instead of real time (tests); nullptr: real time.
    UpdateClock* Clock = nullptr;
};

class FleetPresenter {
public:
    // The view is refreshed at most this often (about ten times a second).
    static constexpr int kRefreshMs = 100;
    // The lines of the log each device keeps of its last job for its details: the first ones (connecting,
    // identifying, the rules, the start) and the newest.
    static constexpr size_t kDeviceLogFirst = 60;
    static constexpr size_t kDeviceLogLast = 240;
    // What the selection list offers before the versions.
    static constexpr const char* kChoiceFailed = "failed";
    static constexpr const char* kChoiceIncomplete = "incomplete";
    static constexpr const char* kChoiceNotBegun = "not begun";
    static constexpr const char* kChoiceHeld = "held";
    static constexpr const char* kChoiceSkipped = "skipped";
    static constexpr const char* kChoiceRefused = "refused";
    static constexpr const char* kChoiceNotOk = "not OK";

    // Builds the window's start state in view and binds view to this presenter; runs on the UI thread.
    // view must outlive the presenter.
    FleetPresenter(FleetView& view, FleetOptions options);
    // Stops a scan or an update that still runs (an update between two pages) and waits for it.
    ~FleetPresenter();
    FleetPresenter(const FleetPresenter&) = delete;
    FleetPresenter& operator=(const FleetPresenter&) = delete;

    std::string Title() const;
    bool Busy() const { return Job != JobKind::None; }
    // The settings to keep: the fields and size as the window was closed, the configuration chosen.
    const FleetSettings& Settings() const { return Kept; }

    // Scans range (A.B.C.D/NN, A.B.C.D-E or one address) on port; found devices are added as they answer.
    void OnScan(const std::string& range, const std::string& port);
    // The last scan again (F5); the range and port given when there was none.
    void OnScanAgain(const std::string& range, const std::string& port);
    // Adds the devices of a device list file the operator chooses, asks the new ones who they are, and
    // selects the list's devices.
    void OnOpenList();
    // Adds one device, HOST[:PORT], asks it who it is and selects it.
    void OnAdd(const std::string& device);
    // The check box of the row at position; with extend, every row from the last one ticked or cleared
    // to this one (shift-click).
    void OnRowChecked(size_t position, bool selected, bool extend = false);
    // The row whose details are shown (the highlighted one); nothing: none.
    void OnCurrentRow(std::optional<size_t> position);
    void OnSelectAll();
    void OnSelectNone();
    // Selects the devices of one choice of SetSelectChoices (a state or a version), and no others.
    void OnSelect(const std::string& choice);
    // Removes the selected devices from the table, or the one of the current row when none is selected.
    void OnRemove(std::optional<size_t> current);
    // Orders the table by column.
    void OnSort(FleetColumn column, bool ascending);
    // Lets the operator choose the configuration file and shows what it holds.
    void OnChooseConfig();
    // The configurations by version: a menu of the versions the table's devices report (and those with a
    // configuration of their own), each with its configuration; one chosen takes a file of its own, or
    // goes back to the configuration for all.
    void OnConfigByVersion();
    // Updates the selected devices with the chosen configurations (a device's version's, else the one for
    // all; with neither it is skipped), at most jobs at once (0: all), each tried again up to retries more
    // times after a lost link or an error; in waves ("2,25%,100%", empty: all at once) and held once more
    // devices failed than maxFailed ("2", "10%"; empty: no limit), as the command line reads them.
    void OnUpdateSelected(int jobs, int retries, const std::string& waves = {},
                          const std::string& maxFailed = {});
    // Selects the devices the last update left failed, or every one it left to do (failed, incomplete,
    // not begun, held, skipped, refused by the configuration or the image; not those the OEM or serial rule
    // refused), and updates them; with the waves they had, when the last update had waves.
    void OnRetryFailed(int jobs, int retries, const std::string& waves = {},
                       const std::string& maxFailed = {});
    void OnUpdateRest(int jobs, int retries, const std::string& waves = {},
                      const std::string& maxFailed = {});
    // Stops the scan, or every update between two pages (sticky).
    void OnStop();
    // Saves the last run's report where the operator chooses (CSV or JSON by the extension).
    void OnSaveReport();
    // The operator asks to close the window: true when it may close now. While an update runs the
    // operator chooses between stopping it and closing once it has stopped, and keeping the window open.
    bool OnCloseRequest();

    // Where the engine's events reach the presenter (any thread).
    FleetObserver& Events() { return Observer; }

private:
    enum class JobKind { None, Scan, Identify, Update };
    // How a device's last update ended, for the summary and the selection by state.
    enum class Group { None, Ok, Incomplete, NotBegun, Held, Failed, Refused, Skipped };

    // What a row shows in its state cell.
    struct Shown {
        std::string Text;
        FleetTone Tone = FleetTone::Plain;
        std::string Tip;
    };
    struct Device {
        DeviceTarget Target;
        std::string Key;
        DeviceIdentity Identity;
        bool Selected = false;
        Shown Base;                  // found, listed, no answer, did not identify
        std::optional<Shown> Result; // how its last update ended, until it is updated again
        std::optional<Shown> Live;   // while the current job runs it
        int Percent = -1;
        // The last update's end.
        Group Last = Group::None;
        std::string LastResult; // its result word ("failed", "oem-rule", ...)
        bool FlashIncomplete = false;
        bool InLastRun = false;
        int Wave = 0; // the rollout's wave of its last update; 0: none
        std::optional<DeviceRecord> Record;
        // In the current job: its progress, its attempt, and the attempts that failed so far.
        int64_t Written = 0, Pages = 0;
        bool Started = false;
        bool Ended = false;
        int Attempt = 1;
        std::vector<std::string> Attempts;
        // Its own lines of the log in its last job: the first ones, how many were left out, the newest.
        std::vector<std::string> LogFirst;
        size_t LogLeftOut = 0;
        std::deque<std::string> LogLast;
    };
    // What the engine told of a device of the current job since the last refresh.
    struct Change {
        std::optional<DeviceIdentity> Identity;
        std::optional<std::string> State;
        FleetTone Tone = FleetTone::Busy;
        int Percent = -1;
        bool Progressed = false; // Written and Pages are new
        int64_t Written = 0, Pages = 0;
        bool Started = false;
        int Attempt = 0;
        std::vector<std::string> Attempts;
        std::optional<DoneEvent> Done;
        std::vector<std::string> Log;
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
        void OnDone(const DoneEvent& e) override;
        void OnWave(const WaveEvent& e) override;
        void OnHold(const HoldEvent& e) override;
        void OnFound(const FoundEvent& e) override;
        void OnUnidentified(const UnidentifiedEvent& e) override;

    private:
        FleetPresenter& P;
    };
    // The log lines of the job's devices, by their labels.
    class DeviceLines : public LogDeviceLines {
    public:
        explicit DeviceLines(FleetPresenter& p) : P(p) {}
        void OnDeviceLine(const std::string& device, std::string_view line) override;

    private:
        FleetPresenter& P;
    };

    // Engine threads: changes the pending record of the job's device index under the lock, then asks
    // for a refresh.
    template <typename Fn> void Note(int index, Fn&& fn);
    void RequestRefresh();
    // UI thread: applies what is pending and draws the changed rows.
    void Refresh();
    void ApplyDone(Device& d, const DoneEvent& e, bool update);
    void JobEnded();

    size_t AddDevice(const DeviceTarget& target, bool& added);
    FleetRow RowOf(const Device& d) const;
    const Shown& ShownOf(const Device& d) const;
    void DrawRows(const std::vector<size_t>& devices);
    void DrawAll();
    void DrawChoices();
    void DrawSelection();
    void DrawControls();
    void DrawDetails();
    // "stopped at 31 %: 4 OK, 4 incomplete, 18 not begun, 1 failed, 3 refused", or "ended: ..." of the
    // update of devices; and the kept summary that names those that need action.
    std::string EndText(const std::vector<size_t>& devices) const;
    void DrawSummary(const std::vector<size_t>& devices, const std::string& end);
    std::string DetailsOf(const Device& d) const;
    static bool RetriedByRetryFailed(const Device& d);
    static bool LeftToUpdate(const Device& d);
    void SetSelected(const std::function<bool(const Device&)>& selected);
    void SelectOnly(const std::vector<size_t>& devices);
    void IdentifyNew(const std::vector<size_t>& devices);
    // keepWaves: the devices begin in the waves of their last update, when it had waves.
    void UpdateDevices(std::vector<size_t> devices, int jobs, int retries, const std::string& waves,
                       const std::string& maxFailed, bool keepWaves);
    void ShowConfig(const std::string& path);
    // The configurations (for all, by version) as the line beside "Configuration…" shows them.
    void DrawConfigs();
    // Applies a wave that began and a hold (UI thread).
    void ApplyRollout(const std::optional<WaveEvent>& wave, const std::optional<HoldEvent>& hold);
    void StartJob(JobKind kind, std::vector<size_t> devices, const RunSettings& settings);
    int OverallPercent() const;
    void Post(std::function<void()> fn);
    void KeepInputs();
    std::optional<size_t> PositionOf(size_t device) const;

    FleetView& View;
    const FleetOptions Options;
    const bool Admin;
    EngineEvents Observer{*this};
    DeviceLines Lines{*this};
    std::shared_ptr<int> AliveToken = std::make_shared<int>(0);

    // UI thread.
    FleetSettings Kept;
    std::vector<Device> Devices;
    std::vector<size_t> Order; // the table's rows, top to bottom, as indices into Devices
    std::vector<std::string> Choices;
    std::optional<size_t> Current; // the device of the highlighted row
    std::optional<size_t> Anchor;  // the device last ticked or cleared, where a shift-click extends from
    std::string ConfigPath;
    std::map<std::string, std::string> VersionConfigs; // by the version a device reports
    std::atomic<JobKind> Job{JobKind::None};
    std::vector<size_t> JobDevices; // the job's device index -> Devices
    std::chrono::steady_clock::time_point JobStarted;
    int JobAttempts = 1;
    std::vector<DeviceRecord> Records; // of the last update
    ReportRun LastRun;                 // the last update's run, for a saved report
    std::optional<int> StoppedAt;      // the percent when Stop was pressed
    int Wave = 0, Waves = 0;           // the update's wave under way, of so many (0: none)
    // When the rollout held the rest ("14:32:05"; empty: it did not) and why ("3 devices failed (...), ...").
    std::string HoldAt, HoldWhy;
    std::chrono::steady_clock::time_point LastRefresh;
    bool Stopping = false;
    bool CloseWhenEnded = false;
    FleetControls Controls;
    bool ControlsDrawn = false;
    std::string SelectionText;
    // The last scan: its range and port, what it found.
    std::string ScanRange, ScanPort;
    uint32_t ScanAddresses = 0, ScanFound = 0, ScanSilent = 0;

    // Engine threads and UI thread, under PendingLock (taken alone, briefly).
    std::mutex PendingLock;
    std::vector<Change> Pending;   // by the job's device index
    std::vector<int> PendingDirty; // job indices with a change
    std::vector<bool> DirtyFlag;   // by the job's device index
    std::unordered_map<std::string, int> JobLabels; // a device's label -> its job index
    std::vector<FoundEvent> Found;                  // scan answers not yet in the table
    std::vector<UnidentifiedEvent> Silent;          // scan addresses that did not identify
    std::optional<WaveEvent> BegunWave;             // the last wave that began, not yet shown
    std::optional<HoldEvent> Hold;                  // the run's hold, not yet shown
    bool JobDone = false;                           // the waiter saw the job end
    bool RefreshScheduled = false;

    // The running job and the thread that waits for its end; the thread goes before the job.
    std::unique_ptr<ScanRun> Scan;
    std::unique_ptr<FleetRun> Run;
    std::thread Waiter;
};
