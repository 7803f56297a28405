// Win32MainWindow: the main window of fwupdate drawn with the Win32 API: the layout VSKFWLAYOUT at its
// places, scaled for the monitor's DPI, and the status bar (main text and progress, info2, info1, the green
// ONLINE / red OFFLINE field). It shows what its presenter Q7Config tells it; the buttons and the close box
// report to the presenter.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/mainview.h"
#include "app/win32/win32ui.h"

class Win32MainWindow : public MainView {
public:
    // The window's class name, by which a test program finds it.
    static constexpr const wchar_t* kClassName = L"FwUpdateMainWindow";
    // Widths of the status bar fields in layout units.
    static constexpr int kInfo1Width = 120;
    static constexpr int kInfo2Width = 50;
    static constexpr int kOnlineWidth = 48;
    // The status bar's parts from the left, and the value the ONLINE field's part carries (SB_GETTEXT returns
    // it, as the part is drawn by the window).
    enum StatusPart { kMainPart, kInfo2Part, kInfo1Part, kOnlinePart };
    static constexpr LPARAM kOnlineValue = 1;
    static constexpr LPARAM kOfflineValue = 0;

    // Builds the window, not yet shown. icon: the resource number of the program's icon (0: none).
    Win32MainWindow(HINSTANCE instance, int icon);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    HWND Handle() const { return Window; }

    // MainView
    void Bind(Q7Config* presenter) override;
    void Show() override;
    void SetTitle(const std::string& title) override;
    void SetFieldText(Field field, const std::string& text) override;
    std::string FieldText(Field field) const override;
    void AddKennung(int key, const std::string& text) override;
    void SelectKennung(int key) override;
    void SetConnectLabel(const std::string& label) override;
    void SetOnline(bool online) override;
    void SetUpdateRunning(bool running) override;
    void ShowTimed(const std::string& text, int milliseconds) override;
    void InfoBox(const std::string& text) override;
    void Progress(const std::string& caption, int position, int total) override;
    void ProgressEnd() override;
    std::optional<std::string> ChooseConfigFile(const std::string& startFolder) override;
    void PostToUi(std::function<void()> fn) override;

private:
    friend LRESULT CALLBACK DispatchToWindow<Win32MainWindow>(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // Places every control for the DPI and sizes the window; the font follows the DPI.
    void Relayout(UINT dpi);
    void PlaceProgress();
    void SetStatusText(int part, const std::string& text);
    void DrawOnlineField(const DRAWITEMSTRUCT& item);
    HWND Control(int id) const { return GetDlgItem(Window, id); }

    HINSTANCE Instance;
    HWND Window = nullptr;
    HWND Status = nullptr;
    HWND ProgressBar = nullptr;
    HWND Tooltips = nullptr;
    HFONT Font = nullptr;
    DpiScale Scale;
    Q7Config* Presenter = nullptr;
    UiQueue Posted;
    std::string Info1, Info2;
    std::string ProgressCaption;  // empty while no progress is shown
    std::vector<int> KennungKeys; // the key of each KENNUNG entry, in list order
};
