// Q7Config: what the main window of fwupdate does, without a toolkit. It reads the mode from the command
// line, gives the window its title and defaults, connects and closes the device (OnConnect), shows what
// identification reports (MsgCallback through its UpdateSession), runs the update on a worker of its own
// (OnUpdateFirmware) and keeps CfgFolder (Serialize). It draws through a MainView, the Qt or the Win32
// window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/mainview.h"
#include "link/connection.h"
#include "update/fwconfig.h"
#include "update/updatesession.h"
#include "update/updateview.h"

struct SettingsStream;

class Q7Config : public Connection_Main, public UpdateView {
public:
    static constexpr int32_t OemNumber = UpdateSession::OemNumber;
    // The status bar's timed texts stay this long.
    static constexpr int kTimedMessage = 2000;
    // Shown when the operator closes the window while an update runs; the window stays open.
    static constexpr const char* kUpdateRunningText =
        "A firmware update is running. The window can be closed when it has ended.";

    // Builds the window's start state in view and binds view to this presenter; runs on the UI thread.
    // arguments: the command line without the program name ("-admin", exactly, selects administrator
    // mode). view must outlive the presenter.
    Q7Config(ConBase& link, MainView& view, const std::vector<std::string>& arguments);
    // Stops notifications and a running update (between two pages) and waits for its worker.
    ~Q7Config() override;
    Q7Config(const Q7Config&) = delete;
    Q7Config& operator=(const Q7Config&) = delete;

    // "FW-Update ADMIN V1.4" in administrator mode, else "FW-Update OEM=19 V1.4".
    std::string Title() const;

    // Action of CONNECT: opens the device at IP and EDITPORT, or closes the current one.
    void OnConnect();
    // Action of UPDATEFIRMWARE: lets the operator choose a configuration file and starts the update on the
    // update worker. The UI thread stays free; while the update runs, neither button starts anything.
    void OnUpdateFirmware();
    // The operator asks to close the window: true when it may close. While an update runs the window says so
    // and stays open, so that the device is never left with half an image.
    bool OnCloseRequest();
    bool UpdateRunning() const { return Updating.load(); }

    // data.dat keeps CfgFolder and nothing else of the window (no placement, address or port).
    void Serialize(SettingsStream& stream);

    // Called in the link's thread: posts MsgCallback to the UI thread.
    void OnNotify(int handle) override;
    // Drains the received messages on the UI thread; while an update runs, its worker drains them instead.
    void MsgCallback(int handle);

    // The device the window talks to, its identification, and the update (AdminMode, the rules).
    class WindowSession : public UpdateSession {
    public:
        WindowSession(ConBase& con, UpdateView& view) : UpdateSession(con, view) {}
        // The program ends: a running update stops between two pages, and one whose worker has not yet
        // reached the update start (which clears a stop asked before it), or starts later, stops before
        // its first write. Any thread.
        void StopForGood();

    protected:
        bool StartUpdateWorker(std::function<void()> body) override;

    private:
        std::atomic<bool> Ending{false};
    };

    // The configuration record, reused for every configuration file the operator picks (by the update
    // worker while an update runs).
    FwConfig Config;
    WindowSession Session;

    // UpdateView: from any thread; from another than the UI thread the change is posted to it.
    void SetDisplayText(Display which, const std::string& text) override;
    void SetKennung(int key) override;
    void SetOnline(bool online) override;
    void SetConnectLabel(const std::string& label) override;
    void ShowTimed(const std::string& text, int milliseconds) override;
    void InfoBox(const std::string& text) override;
    void Progress(const std::string& caption, int position, int total) override;
    void ProgressEnd() override;

private:
    // Runs fn now on the UI thread, or posts it there from any other thread.
    void OnUi(std::function<void()> fn);
    // Posts fn to the UI thread; it is dropped when this presenter is gone by then.
    void Post(std::function<void()> fn);
    void StartUpdate(const std::string& cfgFile);
    void UpdateEnded();

    MainView& View;
    const std::thread::id UiThread;
    // Posted functions hold it weakly: one that runs after the presenter has gone does nothing.
    std::shared_ptr<int> AliveToken = std::make_shared<int>(0);
    // Notifications are posted only once the presenter is built: the link may announce a record while it is
    // still being constructed (Connection_Main comes first).
    std::atomic<bool> Built{false};
    std::atomic<bool> Updating{false};
    std::thread UpdateThread; // the update worker: reading the file, the rules, the programming and its wait
};
