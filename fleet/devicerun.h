// DeviceRun: one device of a fleet run. It owns the device's UpdateSession (identification, rules and
// programming sequence exactly as the window runs them) and runs it through one of its sequences:
// identify; update with its retries; or probe for a scan. What happens it tells as events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fleet/firmwarecheck.h"
#include "fleet/fleetevents.h"
#include "fleet/runsettings.h"
#include "update/updatesession.h"
#include "update/updateview.h"

class ConBase;
class FwConfig;
class ImageFiles;
class JobSlot;
class JobSlots;
class LinkWaiter;
class RunStop;

class DeviceRun {
public:
    // What the devices of one run share. The references outlive every device of the run.
    struct Shared {
        ConBase& Link;      // the link manager it connects through (no two devices of one address)
        LinkWaiter& Waiter; // that manager's notification receiver
        JobSlots* Slots;    // where an update waits for its turn; nullptr: no limit
        const RunStop& Stop;
        const RunSettings& Settings;
        FleetObserver* Observer; // nullptr: no events (a scan's probe)
        // Called once the device has ended, right after its Done, in the thread that ended it.
        std::function<void()> Ended;
        // The run's image files, read once for all its devices; nullptr: each update reads its own.
        ImageFiles* Images = nullptr;
        // Called in the device's thread when its record says its flash is incomplete, right before its
        // update's sequence begins (the erase follows): returns once the report says so.
        std::function<void()> Erasing = {};
        // The rollout's hold: why no further device may begin programming, or nothing while they may. Asked
        // before a device begins programming; empty: the run never holds its devices.
        std::function<std::optional<std::string>()> Held = {};
        // Each configuration of the run as checked once before any device was connected, by its path.
        const std::map<std::string, FirmwareCheck>* Checks = nullptr;
    };

    DeviceRun(const Shared& shared, FleetDevice device, DeviceTarget target);
    ~DeviceRun();
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    // Connect, identify, close. Ends the device.
    void RunIdentify();
    // Read the configuration, then attempts of connect, identify, the rules and the update (or the plan
    // of a dry run) until one succeeds, is refused or no attempt is left. Ends the device.
    void RunUpdate();
    // Before the run starts: the device's configuration or image was checked once for every device of it and
    // is refused, so RunUpdate ends the device with this refusal without connecting it.
    void RefuseBeforeConnecting(int code, const std::string& result, const std::string& message,
                                const std::string& detail);
    // Before the run starts: the fingerprint of the device's configuration with its image, for its record.
    void SetFingerprint(const std::string& fingerprint);
    // Before the run starts: the rollout's wave the device is in, for its record.
    void SetWave(int wave);
    // How a probe ended: the device answered (its answers then in Record), refused the connection, took it
    // but did not identify (silent, or closed it at once: ProbeDetail says how), none of these, or the
    // run's stop ended it before it had an outcome.
    enum class Probed { Answered, Refused, NotIdentified, NoConnection, Stopped };
    // Connect and identify without an event.
    Probed Probe();
    // Why the last connection did not identify the device.
    const std::string& ProbeDetail() const { return Note; }

    // After the run's stop: ends a waiting identification, turn or pause at once and stops a running
    // update between pages. The link waiter and the job slots are woken by the run. Any thread.
    void Interrupt();
    // Ends the device now, unless it has ended: its record and its Done say so. The run then no longer
    // waits for it; what it still does tells nothing more and changes its record no more. True when this
    // call ended it. Any thread.
    bool EndNow(int code, const std::string& result, const std::string& detail);
    // EndNow as the run's stop left it: interrupted, with what it had sent so far.
    bool EndInterrupted(int code);

    // The device's record for the run report, as far as it got. Any thread.
    DeviceRecord Record() const;
    bool Ended() const { return EndedFlag.load(); }

private:
    // The UpdateView of the device: what the update logic shows becomes the device's events.
    class DeviceView : public UpdateView {
    public:
        explicit DeviceView(DeviceRun& run) : Run(run) {}
        void SetDisplayText(Display which, const std::string& text) override;
        void SetKennung(int key) override;
        void SetOnline(bool online) override;
        void SetConnectLabel(const std::string&) override {}
        void ShowTimed(const std::string& text, int milliseconds) override;
        void InfoBox(const std::string& text) override;
        // The wait loop's activity steps: Repaint tells the time left.
        void Progress(const std::string&, int, int) override {}
        void ProgressEnd() override {}
        void Repaint() override;
        void PageWritten(int written, int pages) override;

    private:
        DeviceRun& Run;
    };

    // The device's session: the update worker starts only with the run's stop looked at once more after the
    // update start has reset its own, so a stop asked for meanwhile is never lost; and only after the
    // update's start was told, so that no page comes before it.
    class DeviceSession : public UpdateSession {
    public:
        DeviceSession(ConBase& con, UpdateView& view, DeviceRun& run) : UpdateSession(con, view), Run(run) {}
        // Whether the last update start found the run stopped before its worker wrote anything.
        bool StoppedBeforeWriting() const { return StoppedAtStart.load(); }

    protected:
        bool StartUpdateWorker(std::function<void()> body) override;
        ImageRead LoadImage(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image) override;
        // The update waits for its device's acknowledgements on the run's link waiter: a record of another
        // device never wakes it.
        uint64_t RecordGeneration() override;
        void WaitForRecords(uint64_t seen, std::chrono::milliseconds limit) override;

    private:
        DeviceRun& Run;
        std::atomic<bool> StoppedAtStart{false};
    };

    // The identification values this device has reported on this connection.
    enum Reported : unsigned {
        kOnline = 1u << 0,
        kKennung = 1u << 1,
        kVersion = 1u << 2,
        kSerial = 1u << 3,
        kMode = 1u << 4,
        kName = 1u << 5,
        kOemName = 1u << 6,
        kDeviceName = 1u << 7,
        kLibraryName = 1u << 8,
        kAll = (1u << 9) - 1,
    };

    // How one attempt of an update ended.
    struct Attempt {
        int Code;
        std::string Result;
        std::string Text;
        std::string Where = {}; // where in the programming sequence it failed (AttemptFailure)
    };

    // One attempt of an update: connect, identify, the rules, the programming sequence.
    Attempt UpdateOnce(FwConfig& config, int attempt);
    // Whether the device's configuration follows the version it reports (or the run takes only one version):
    // it is chosen once the device has reported it.
    bool ByVersion() const;
    bool OwnConfig() const;
    // Reads ConfigPath into config and the record: nothing, or the end of a file that cannot be read.
    std::optional<Attempt> LoadConfig(FwConfig& config);
    // Chooses and reads the configuration of the version the device reports: nothing, or the device's end
    // (skipped: no configuration for its version, or not the version the run takes; or a refusal).
    std::optional<Attempt> ChooseConfig(const DeviceIdentity& identity, FwConfig& config);
    void EndRefused();
    Attempt NoConnectionAttempt();
    std::optional<std::string> RolloutHeld() const;
    // Where a failed programming sequence ended, for the retry policy: the same place twice is a device
    // that fails there every time.
    std::string FailedWhere(bool linkGone) const;
    // Waits until the device may be programmed; false when the run was stopped meanwhile, or (holdable) the
    // rollout held the devices not begun.
    bool WaitForTurn(JobSlot& turn, bool holdable);
    void ReportRetry(int next, const Attempt& failed, std::chrono::milliseconds pause);
    // A new attempt connects anew: the device of the last one must be gone from the link manager.
    void ForgetLastDevice();
    // What the device has reported on this connection.
    DeviceIdentity ReportedIdentity() const;
    void KeepIdentity(const DeviceIdentity& identity);
    void ReportPlan(const FwConfig& config);

    // Opens the connection and waits for the identification answers: true when the device answered.
    bool Connect(int attempt);
    // Closes the connection: gently (what was queued goes out, what the device sends is read, and the
    // device reads the end of the stream) once the device has answered on it, else at once.
    void Disconnect();
    double SecondsLeft() const;
    void ShowMessage(const std::string& text);
    // The programming sequence is about to begin.
    void UpdateStarting();
    void UpdateProgress(bool newPage);
    // The current attempt's pages into the record, once it began programming (RecordLock held).
    void RecordPages();

    bool Stopped() const;
    int StopCode() const;

    // An event of this device with its name and the time, filled in by the caller and told unless the
    // device has ended.
    template <typename Event> Event NewEvent() const {
        Event e;
        e.Device = Device;
        e.Time = std::chrono::system_clock::now();
        return e;
    }
    template <typename Tell> void Emit(Tell tell) {
        if (Common.Observer == nullptr)
            return;
        std::lock_guard hold(EmitLock);
        if (!EndedFlag.load())
            tell(*Common.Observer);
    }

    const Shared Common;
    const FleetDevice Device;
    const DeviceTarget Target;
    DeviceView ViewOf{*this};
    DeviceSession Sess;

    std::atomic<unsigned> ReportedMask{0};
    std::string Note;                         // why the device did not answer (the run's thread only)
    std::string Cause;                        // the same in one word for the report (the run's thread only)
    Probed ConnectEnd = Probed::NoConnection; // how the last Connect ended (the run's thread only)
    std::string ImagePath;
    std::string ConfigPath;    // the configuration the device is given (its own, its version's, the run's)
    bool ConfigChosen = false; // by version: once chosen (the run's thread only)
    // RefuseBeforeConnecting's refusal and the window's message for it, set before the device's thread
    // starts.
    std::optional<Attempt> Refusal;
    std::string RefusalMessage;
    int LastHandle = 0; // the handle of the last connection, 0 when none was made
    // An update sequence was started on this run: the flash may be incomplete once stopped.
    std::atomic<bool> UpdateBegun{false};
    // The programming sequence began (the flash was erased): on this run, and in the current attempt.
    std::atomic<bool> FlashErased{false};
    std::atomic<bool> AttemptProgrammed{false};

    // Lock order: EmitLock before RecordLock before ProgressLock; an observer is called with EmitLock held.
    std::mutex EmitLock;
    std::atomic<bool> EndedFlag{false};

    mutable std::mutex RecordLock;
    DeviceRecord Rec;
    std::optional<DeviceRecord> FinalRec; // the record as the device ended, which Record gives from then on
    std::optional<std::chrono::steady_clock::time_point> WaitingSince; // waiting for its turn since
    std::string LastMessage; // the last text the update logic showed (its window text)

    // Progress of a running update. The pacing is fixed, so the time left follows from the pages.
    mutable std::mutex ProgressLock;
    int64_t PagesTotal = 0;
    int64_t PagesWritten = 0;
    std::chrono::steady_clock::time_point ExpectedEnd;
};
