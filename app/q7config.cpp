// Q7Config: the main window's start state, connecting and closing, the update on its worker, and the
// hand-over of everything shown to the UI thread.
#include "app/q7config.h"

#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "app/intfield.h"
#include "app/settings.h"
#include "base/log.h"
#include "base/platform.h"
#include "link/conbase.h"
#include "update/kennunglist.h"
#include "update/updatestart.h"

namespace {

constexpr char kAdminArgument[] = "-admin";

MainView::Field FieldOf(UpdateView::Display display) {
    switch (display) {
    case UpdateView::Display::VERSION:
        return MainView::Field::VERSION;
    case UpdateView::Display::DSPMODSERIAL:
        return MainView::Field::DSPMODSERIAL;
    case UpdateView::Display::MODE:
        return MainView::Field::MODE;
    case UpdateView::Display::DSPMODNAME:
        return MainView::Field::DSPMODNAME;
    case UpdateView::Display::OEMUSERNAME:
        return MainView::Field::OEMUSERNAME;
    case UpdateView::Display::OEMDEVICENAME:
        return MainView::Field::OEMDEVICENAME;
    case UpdateView::Display::OEMLIBNAME:
        break;
    }
    return MainView::Field::OEMLIBNAME;
}

// The folder of a chosen file, as the selector's active folder reads after it closed.
std::string FolderOf(const std::string& file) {
    std::error_code ec;
    std::filesystem::path path = PathFromUtf8(file);
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (!ec)
        path = absolute;
    return PathToUtf8(path.parent_path());
}

} // namespace

Q7Config::Q7Config(ConBase& link, MainView& view, const std::vector<std::string>& arguments)
    : Connection_Main(link), Session(link, *this), View(view), UiThread(std::this_thread::get_id()) {
    for (const std::string& argument : arguments)
        if (argument == kAdminArgument)
            Session.AdminMode = true;

    View.SetTitle(Title());
    View.SetFieldText(MainView::Field::info2, "---");
    View.SetOnline(false);
    View.SetFieldText(MainView::Field::IP, "192.168.10.10");
    View.SetFieldText(MainView::Field::EDITPORT, "2000");
    for (const KennungEntry& e : kKennungEntries)
        View.AddKennung(e.key, e.text);
    View.SelectKennung(-1);
    View.Bind(this);

    Built = true;
    // A record queued while the presenter was being built is drained now.
    Post([this] { MsgCallback(0); });
}

Q7Config::~Q7Config() {
    View.Bind(nullptr);
    // No notification may reach the presenter while it is being taken apart.
    Detach();
    if (UpdateThread.joinable()) {
        // Only when the program ends otherwise than by the window's close box: the sequence stops between two
        // pages, or before its first write, and reports ERROR; the join then waits no longer than that.
        Session.StopForGood();
        UpdateThread.join();
    }
}

void Q7Config::WindowSession::StopForGood() {
    Ending = true; // before the request: an update start that clears the request after it sees this
    RequestUpdateStop();
}

bool Q7Config::WindowSession::StartUpdateWorker(std::function<void()> body) {
    // The update start has just cleared the stop request: the program's end asked for meanwhile holds.
    if (Ending.load())
        RequestUpdateStop();
    return UpdateSession::StartUpdateWorker(std::move(body));
}

std::string Q7Config::Title() const {
    return Session.AdminMode ? "FW-Update ADMIN V1.4"
                             : "FW-Update OEM=" + std::to_string(OemNumber) + " V1.4";
}

void Q7Config::OnConnect() {
    if (Updating)
        return; // the device stays open under the running update
    const std::string address = View.FieldText(MainView::Field::IP);
    // An empty or incomplete port is the null integer, which no connection accepts.
    const int port = IntFieldValue(View.FieldText(MainView::Field::EDITPORT))
                         .value_or(std::numeric_limits<int32_t>::min());
    if (Session.CurrentDevice != 0) {
        // The link closes the device gently and without keeping the window waiting: what was queued goes out
        // and what the device still sends is read; its CLOSED record then turns the window OFFLINE.
        Session.BeginCloseDevice();
        View.SetConnectLabel("Connect");
        return;
    }
    if (Session.OpenDevice(address, port) != 0) {
        View.SetConnectLabel("Close");
        Session.RequestIdentification();
    }
}

void Q7Config::OnUpdateFirmware() {
    if (Updating)
        return; // one update at a time
    const std::optional<std::string> file = View.ChooseConfigFile(CfgFolder);
    if (!file || file->empty())
        return;
    CfgFolder = FolderOf(*file);
    StartUpdate(*file);
}

void Q7Config::StartUpdate(const std::string& cfgFile) {
    Updating = true;
    View.SetUpdateRunning(true);
    try {
        UpdateThread = std::thread([this, cfgFile] {
            // Reading the file, the rules, the image and the programming with its progress: the update logic
            // shows its messages through this presenter, which posts them to the UI thread.
            Session.StartUpdateWith(Config, cfgFile);
            Post([this] { UpdateEnded(); });
        });
    } catch (const std::system_error&) {
        LogLine("FIRMWAREUPDATE: Update worker could not be started");
        Updating = false;
        View.SetUpdateRunning(false);
        View.ShowTimed("Firmwareupdate ERROR", kTimedMessage);
    }
}

void Q7Config::UpdateEnded() {
    if (UpdateThread.joinable())
        UpdateThread.join();
    Updating = false;
    View.SetUpdateRunning(false);
    // What arrived after the worker's last drain.
    MsgCallback(0);
}

bool Q7Config::OnCloseRequest() {
    if (!Updating)
        return true;
    View.InfoBox(kUpdateRunningText);
    return false;
}

void Q7Config::Serialize(SettingsStream& stream) {
    SerializeCfgFolder(stream);
}

void Q7Config::OnNotify(int handle) {
    // Only posts: the queue is drained on the UI thread.
    if (!Built)
        return;
    Post([this, handle] { MsgCallback(handle); });
}

void Q7Config::MsgCallback(int handle) {
    // While an update runs its worker drains the queue after every page, as the update sequence expects.
    if (!Updating)
        Session.MsgCallback(handle);
}

void Q7Config::OnUi(std::function<void()> fn) {
    if (std::this_thread::get_id() == UiThread)
        fn();
    else
        Post(std::move(fn));
}

void Q7Config::Post(std::function<void()> fn) {
    View.PostToUi([alive = std::weak_ptr<int>(AliveToken), fn = std::move(fn)] {
        if (!alive.expired())
            fn();
    });
}

void Q7Config::SetDisplayText(Display which, const std::string& text) {
    OnUi([this, which, text] { View.SetFieldText(FieldOf(which), text); });
}

void Q7Config::SetKennung(int key) {
    OnUi([this, key] { View.SelectKennung(key); });
}

void Q7Config::SetOnline(bool online) {
    OnUi([this, online] { View.SetOnline(online); });
}

void Q7Config::SetConnectLabel(const std::string& label) {
    OnUi([this, label] { View.SetConnectLabel(label); });
}

void Q7Config::ShowTimed(const std::string& text, int milliseconds) {
    OnUi([this, text, milliseconds] { View.ShowTimed(text, milliseconds); });
}

void Q7Config::InfoBox(const std::string& text) {
    OnUi([this, text] { View.InfoBox(text); });
}

void Q7Config::Progress(const std::string& caption, int position, int total) {
    OnUi([this, caption, position, total] { View.Progress(caption, position, total); });
}

void Q7Config::ProgressEnd() {
    OnUi([this] { View.ProgressEnd(); });
}
