// MainView: the main window as its presenter Q7Config sees it, what it shows and what it asks the operator.
// The Qt window (app/qt) and the Win32 window (app/win32) implement it. The presenter calls it on the UI
// thread only; PostToUi is the one operation any thread may call.
#pragma once

#include <functional>
#include <optional>
#include <string>

class Q7Config;

class MainView {
public:
    // The window's text fields: the address and port fields, the value displays that identification fills,
    // and the status bar's information fields.
    enum class Field {
        IP,
        EDITPORT,
        VERSION,
        DSPMODSERIAL,
        MODE,
        DSPMODNAME,
        OEMUSERNAME,
        OEMDEVICENAME,
        OEMLIBNAME,
        info1,
        info2,
    };

    virtual ~MainView() = default;

    // The presenter the buttons and the close box report to; nullptr while there is none (the view then
    // ignores them and closes when asked).
    virtual void Bind(Q7Config* presenter) = 0;
    // Opens the window (fixed size, centred on the screen).
    virtual void Show() = 0;

    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetFieldText(Field field, const std::string& text) = 0;
    // What the field holds now (the operator types into IP and EDITPORT).
    virtual std::string FieldText(Field field) const = 0;
    // The KENNUNG list: appends an entry; selects the entry with this key (a key without entry: the list
    // shows nothing).
    virtual void AddKennung(int key, const std::string& text) = 0;
    virtual void SelectKennung(int key) = 0;
    // Label of CONNECT: "Connect" or "Close".
    virtual void SetConnectLabel(const std::string& label) = 0;
    // The ONLINE (green) / OFFLINE (red) field at the right end of the status bar.
    virtual void SetOnline(bool online) = 0;
    // While an update runs, CONNECT and UPDATEFIRMWARE take no presses.
    virtual void SetUpdateRunning(bool running) = 0;
    // Text in the status bar's main area for the given time, then the area is empty again.
    virtual void ShowTimed(const std::string& text, int milliseconds) = 0;
    // Modal information box with one "OK" button, after the information beep.
    virtual void InfoBox(const std::string& text) = 0;
    // The progress indicator in the status bar's main area: caption and position of total. ProgressEnd
    // removes it.
    virtual void Progress(const std::string& caption, int position, int total) = 0;
    virtual void ProgressEnd() = 0;
    // The configuration-file selector ("Firmware config files", *.cfg) opened in startFolder: the chosen
    // file (UTF-8), or nothing when the operator cancelled.
    virtual std::optional<std::string> ChooseConfigFile(const std::string& startFolder) = 0;
    // Runs fn on the UI thread soon, from any thread, without waiting for it. A function posted to a view
    // that is gone is dropped.
    virtual void PostToUi(std::function<void()> fn) = 0;
};
