// What every Win32 window of fwupdate uses: texts between UTF-8 and the wide calls, scaling layout units for
// the monitor's DPI (the program is per-monitor DPI aware), the design font, functions posted to the UI
// thread, the information box, the open-file dialog and the message loop.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// UTF-8 inside the program, UTF-16 at the wide calls.
std::wstring Wide(std::string_view text);
std::string Utf8(std::wstring_view text);
// The text of a window or control as UTF-8.
std::string WindowText(HWND window);

// Layout units to pixels at a DPI: one unit is one pixel at 96 DPI (100 %).
class DpiScale {
public:
    explicit DpiScale(UINT dpi = USER_DEFAULT_SCREEN_DPI) : Dpi(dpi) {}
    UINT Value() const { return Dpi; }
    int operator()(int units) const { return MulDiv(units, static_cast<int>(Dpi), USER_DEFAULT_SCREEN_DPI); }

private:
    UINT Dpi;
};

// The DPI of the monitor the window is on (per-monitor aware), or the system's.
UINT WindowDpi(HWND window);
// The window rectangle that gives a client area of this size, at a DPI.
SIZE WindowSizeForClient(SIZE client, DWORD style, DWORD exStyle, UINT dpi);
// Places the window at the centre of the work area of the monitor it is on (the primary one at start).
void CentreOnWorkArea(HWND window);

// The layout's design font: the system's message font (Segoe UI on Windows, Tahoma under Wine) with
// characters designPixels high at 96 DPI, scaled for dpi. The caller deletes it (DeleteObject).
HFONT MakeDesignFont(UINT dpi, int designPixels);
// Gives the window and all its children the font.
void SetFontOfAll(HWND window, HFONT font);

// Functions posted to a window's UI thread: Post may be called from any thread and never waits; the window
// procedure calls RunPosted when it receives Message. What is posted after the window has gone is dropped.
class UiQueue {
public:
    static constexpr UINT Message = WM_APP + 1;

    void Attach(HWND window);
    // Drops what has not run yet; nothing posted later runs.
    void Detach();
    void Post(std::function<void()> fn);
    void RunPosted();

private:
    std::mutex Lock;
    HWND Window = nullptr;
    std::deque<std::function<void()>> Queue;
};

// The window procedure of a top-level window class W: hands every message to the W object given to
// CreateWindowExW (its lpParam), which keeps its handle in W::Window and answers in W::OnMessage.
template <typename W>
LRESULT CALLBACK DispatchToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<W*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    if (self->Window == nullptr)
        self->Window = window;
    return self->OnMessage(message, wParam, lParam);
}

// The messages every top-level window of the program answers alike: what is posted to its UI thread; the
// close box (the window stays while mayClose says no); the end of the session (refused while busy); its
// destruction, which ends the message loop and clears window. Nothing for any other message.
std::optional<LRESULT> CommonWindowMessage(HWND& window, UiQueue& posted, UINT message, WPARAM wParam,
                                           LPARAM lParam, const std::function<bool()>& mayClose,
                                           const std::function<bool()>& busy);

// A modal information box with one "OK" button, after the information beep.
void InformationBox(HWND owner, const std::string& text);

// A kind of file a file dialog offers: its name and its patterns ("*.txt;*.list").
struct FileFilter {
    std::string Name;
    std::string Pattern;
};

// The system's open-file and save-file dialogs with these filters (the first one chosen at first), as the
// ones with one filter below.
std::optional<std::string> ChooseFileToOpen(HWND owner, const std::vector<FileFilter>& filters,
                                            const std::string& defaultExtension,
                                            const std::string& startFolder);
std::optional<std::string> ChooseFileToSave(HWND owner, const std::vector<FileFilter>& filters,
                                            const std::string& defaultExtension,
                                            const std::string& startFolder);

// A modal question with two buttons of their own texts: true for the first one. The second one is the
// default and what Esc answers.
bool AskWithButtons(HWND owner, const std::string& text, const std::string& first, const std::string& second);

// The system's open-file dialog with one filter (description and pattern, e.g. "*.cfg"), a default extension,
// opened in startFolder (empty: where the system likes): the chosen file, or nothing when cancelled.
std::optional<std::string> ChooseFileToOpen(HWND owner, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExtension,
                                            const std::string& startFolder);

// The system's save-file dialog the same way: the file to write (an existing one after the system asked
// whether to replace it), or nothing when cancelled.
std::optional<std::string> ChooseFileToSave(HWND owner, const std::string& filterName,
                                            const std::string& pattern, const std::string& defaultExtension,
                                            const std::string& startFolder);

// Registers a top-level window class of the program with its icon (the resource number icon, 0: none).
ATOM RegisterWindowClass(HINSTANCE instance, int icon, WNDPROC procedure, const wchar_t* className);

// Keys of a top-level window (an accelerator table, nullptr: none) that the message loop turns into its
// WM_COMMAND messages wherever the focus is in it.
void SetWindowKeys(HWND window, HACCEL keys);

// Runs the thread's message loop until WM_QUIT, with the keyboard navigation of dialogs (Tab, Enter, Esc,
// mnemonics) and the window's keys (SetWindowKeys) in every top-level window; the exit code that WM_QUIT
// carries.
int RunMessageLoop();
