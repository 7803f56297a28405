// Q7Config: the main window of fwupdate. It carries the layout VSKFWLAYOUT and the status bar, receives the
// link's notifications, and shows the device identification that UpdateSession keeps.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringList>
#include <atomic>
#include <functional>
#include <string>

#include "app/onlinedisplay.h"
#include "app/settings.h"
#include "app/vskfwlayout.h"
#include "link/connection.h"
#include "update/fwconfig.h"
#include "update/updatesession.h"
#include "update/updateview.h"

class Q7Config : public Connection_Main,
                 public WithVSKFWLAYOUT<QMainWindow>,
                 public UpdateView,
                 public UpdateSession {
public:
    // Opens the configuration-file selector in startFolder; the chosen file, or empty when cancelled.
    using FileChooser = std::function<QString(const QString& startFolder)>;
    // Shows one text modally with one "OK" button.
    using InformationBox = std::function<void(const QString& text)>;

    // arguments: the command line without the program name. Empty seams take the real dialogs.
    Q7Config(ConBase& link, const QStringList& arguments, FileChooser chooser = {},
             InformationBox infoBox = {});
    ~Q7Config() override;

    // Action of CONNECT: opens the device at IP and EDITPORT, or closes the current one.
    void OnConnect();
    // Action of UPDATEFIRMWARE: lets the operator choose a configuration file, then starts the update.
    void OnUpdateFirmware();
    // Starts the update with the chosen configuration file (q7config_update.cpp).
    void StartUpdateWith(const QString& cfgFile);
    // The configuration record, reused for every configuration file the operator picks.
    FwConfig Config;

    // data.dat keeps CfgFolder and nothing else of the window (no placement, address or port).
    void Serialize(SettingsStream& stream);

    // Called in the link's thread: posts MsgCallback into the GUI thread.
    void OnNotify(int handle) override;

    // UpdateView: safe from any thread; from another thread the change is posted to the GUI thread.
    void SetDisplayText(Display which, const std::string& text) override;
    void SetKennung(int key) override;
    void SetOnline(bool online) override;
    void SetConnectLabel(const std::string& label) override;
    void ShowTimed(const std::string& text, int milliseconds) override;
    void InfoBox(const std::string& text) override;
    void Progress(const std::string& caption, int position, int total) override;
    void ProgressEnd() override;
    void Repaint() override;

    // The status bar: main text area, then info2, info1 and onlineDisplay from left to right.
    QStatusBar& status;
    QLabel& info1;
    QLabel& info2;
    OnlineDisplay& onlineDisplay;

    // Widths of the status bar fields in layout units.
    static constexpr int kInfo1Width = 120;
    static constexpr int kInfo2Width = 50;
    static constexpr int kOnlineWidth = 48;

private:
    // Runs fn now in the GUI thread, or posts it there from any other thread without waiting.
    void InGui(std::function<void()> fn);
    QLabel* DisplayFor(Display which);

    // Notifications are posted only once the window is built: the link may announce a record while the
    // window base is still being constructed (Connection_Main comes first).
    std::atomic<bool> Built{false};
    FileChooser Chooser;
    InformationBox InfoBoxSeam;
    QLabel* progressCaption = nullptr;
    QProgressBar* progressBar = nullptr;
};
