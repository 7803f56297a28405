// What the update logic shows to the operator. The main window implements it with its
// controls; tests and the command-line tool supply their own. Every operation may be
// called from the update worker as well as from the GUI thread, and must never wait
// for the GUI thread.
#pragma once

#include <string>

class UpdateView {
public:
    // The value displays that identification fills.
    enum class Display { VERSION, DSPMODSERIAL, MODE, DSPMODNAME, OEMUSERNAME, OEMDEVICENAME, OEMLIBNAME };

    virtual ~UpdateView() = default;

    virtual void SetDisplayText(Display which, const std::string& text) = 0;
    // Selects the KENNUNG entry with this key (a key not in the list shows an empty field).
    virtual void SetKennung(int key) = 0;
    // The ONLINE/OFFLINE field.
    virtual void SetOnline(bool online) = 0;
    // Label of the CONNECT button: "Connect" or "Close".
    virtual void SetConnectLabel(const std::string& label) = 0;
    // Text in the status bar's main area for the given time.
    virtual void ShowTimed(const std::string& text, int milliseconds) = 0;
    // Modal information box with one "OK" button (after the information beep).
    virtual void InfoBox(const std::string& text) = 0;
    // Progress indicator with its caption; position of total. ProgressEnd removes it.
    virtual void Progress(const std::string& caption, int position, int total) = 0;
    virtual void ProgressEnd() = 0;
    // Redraws the window at once while the GUI thread waits for the update worker. It must not
    // handle input or run posted callbacks (the worker is then the one draining the messages).
    virtual void Repaint() {}
    // A page has been sent and its pause is over: written of pages so far. Called from the update
    // worker; for progress that counts pages.
    virtual void PageWritten(int /*written*/, int /*pages*/) {}
};
