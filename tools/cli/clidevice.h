// CliDevice: one device of a fwupdate-cli run. It is the device's UpdateSession (identification,
// rules, programming sequence, exactly as the window runs them) and its UpdateView, which reports
// to the terminal, as plain lines or as JSON events instead of window controls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/cli/clioptions.h"
#include "tools/cli/clireport.h"
#include "update/updatesession.h"
#include "update/updateview.h"

class CliOutput;
class FwConfig;
class JobSlots;
class JobSlot;
class LinkWaiter;

struct RunSettings {
    std::chrono::milliseconds Timeout{5000};
    bool Admin = false;
    bool DryRun = false;
    int ProgressEvery = 16;
    // update: after a lost link, a refused connection, no answer or an error reply, the whole
    // sequence runs again on a new connection, up to this many more times.
    int Retries = 0;
    // --jobs: at most this many devices programmed at once (0: no limit); only for the texts, the
    // JobSlots given to the device count.
    int Jobs = 0;
    // Nothing on the output (scan's probes): the caller reports what was found.
    bool Quiet = false;
    std::string LogPath; // the diagnostic log of this run, named where a message sends the reader there
};

class CliDevice : public UpdateView, public UpdateSession {
public:
    // slots: where update waits for its turn to program (nullptr: no limit).
    CliDevice(ConBase& con, LinkWaiter& waiter, CliOutput& out, const DeviceTarget& target,
              const RunSettings& settings, int slot, JobSlots* slots = nullptr);
    ~CliDevice() override;

    // info: connect, identify, print the answers. The exit code.
    int RunInfo();
    // update: read the configuration, connect, identify, then the window's update start. The exit code.
    int RunUpdate();
    // scan: connect and identify without a word on the output; true when the device answered, its
    // answers then in Identity().
    bool Probe();
    // A stop signal (1, 2 or 15): ends the wait for answers, for a turn or before another attempt, and
    // stops a running update between pages; the device's exit code is then the signal's. Any thread,
    // repeatable.
    void Interrupt(int signal);

    // What the device reported on its last connection that answered. Any thread.
    DeviceIdentity Identity() const;
    // The device's record for the run report, as far as it got. Any thread.
    DeviceRecord Record() const;

    const DeviceTarget& Target() const { return Device; }
    int Code() const { return ExitCodeOf.load(); }
    // The result word of its done event ("ok", "failed", ...); "internal" when it never finished.
    std::string Result() const;
    // One line on how it ended, for the summary.
    std::string Outcome() const;

    // UpdateView
    void SetDisplayText(Display which, const std::string& text) override;
    void SetKennung(int key) override;
    void SetOnline(bool online) override;
    void SetConnectLabel(const std::string&) override {}
    void ShowTimed(const std::string& text, int milliseconds) override;
    void InfoBox(const std::string& text) override;
    void Progress(const std::string& caption, int position, int total) override;
    void ProgressEnd() override;
    void Repaint() override;
    void PageWritten(int written, int pages) override;

private:
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
    };

    // One attempt of an update: connect, identify, the rules, the programming sequence.
    Attempt UpdateOnce(FwConfig& config);
    // --jobs: waits until the device may be programmed; false when interrupted meanwhile.
    bool WaitForTurn(JobSlot& turn);
    // The pause before another attempt; false when interrupted meanwhile.
    bool PauseBeforeRetry(std::chrono::milliseconds pause);
    void ReportRetry(int next, const Attempt& failed, std::chrono::milliseconds pause);
    // A new attempt connects anew: the device of the last one must be gone from the link manager.
    void ForgetLastDevice();
    void KeepIdentity();
    // The reported hardware version as shown: "HWV=1.4".
    std::string VersionText() const;

    bool Connect();
    // Closes the connection; after writes, once they have left.
    void Disconnect(bool afterWrites = false);
    void ReportIdentity(bool full);
    void ReportPlan(const FwConfig& config);
    void ReportProgress(bool force);
    std::string ProgressText(int64_t written, int64_t pages, double secondsLeft) const;
    double SecondsLeft() const;
    void Say(const std::string& text);
    // Records the outcome and reports it (the text line only when say); the exit code.
    int Finish(int code, const std::string& result, const std::string& text, bool say = true);

    LinkWaiter& Waiter;
    CliOutput& Out;
    const DeviceTarget Device;
    const RunSettings Settings;
    const int Slot;
    JobSlots* const Slots;

    std::atomic<bool> Interrupted{false};
    std::atomic<int> InterruptedCode{kExitInterrupted};
    std::atomic<int> ExitCodeOf{kExitInternal};
    std::atomic<unsigned> ReportedMask{0};
    std::string Note;        // why the device did not answer
    std::string LastMessage; // the last text the update logic showed (its window text)
    std::string ImagePath;
    std::string Summary;
    int LastHandle = 0; // the handle of the last connection, 0 when none was made

    mutable std::mutex RecordLock;
    DeviceRecord Rec;

    // Progress of a running update. The pacing is fixed, so the time left follows from the pages.
    mutable std::mutex ProgressLock;
    bool UpdateRunning = false;
    int64_t PagesTotal = 0;
    int64_t PagesWritten = 0;
    int64_t LastReported = -1;
    std::chrono::steady_clock::time_point ExpectedEnd;
};
