// Win32FleetWindow: the window of many devices drawn with the Win32 API, in the rows of the Qt window: the
// find row (range, port, Scan, a device list, one address), the configuration row (the configurations for
// all and by version with their verdict, Jobs, Retries, the rollout's Waves and Max failed), the update row
// (Update selected, Retry failed, Update the rest, Stop, Save report), the selection row (all, none, by state
// or version, "N of M selected"), the table of devices (a list view with check boxes and coloured states)
// beside the details of the current one, the progress, the kept summary of the last update and the status
// bar. Placed for the monitor's DPI and the window's size, each control as wide as its text needs; a window
// from about 760 by 440 logical pixels up holds every control. It shows what its presenter FleetPresenter
// tells it; the controls and keys report to the presenter.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

#include "app/fleetview.h"
#include "app/win32/win32ui.h"

class Win32FleetWindow : public FleetView {
public:
    // The window's class name, by which a test program finds it.
    static constexpr const wchar_t* kClassName = L"FwUpdateFleetWindow";
    // The controls' ids, by which a test program finds them.
    enum Id : int {
        RANGE = 201,
        PORT,
        SCAN,
        OPENLIST,
        ADDRESS,
        ADD,
        CONFIG,
        CONFIGINFO,
        JOBS,
        RETRIES,
        UPDATE,
        STOP,
        SAVEREPORT,
        SELECTALL,
        SELECTNONE,
        SELECTBY,
        SELECT,
        DEVICES,
        OVERALL,
        OVERALLTEXT,
        STATUS,
        JOBSSPIN,
        RETRIESSPIN,
        RETRYFAILED,
        UPDATEREST,
        SELECTION,
        DETAILS,
        SUMMARY,
        BYVERSION,
        WAVES,
        MAXFAILED,
        // Commands without a control: F5, and the table's context menu.
        SCANAGAIN = 300,
        REMOVE,
    };
    // The least client area and the one it opens with, in logical pixels (96 DPI), unless kept from the
    // last time; never more than the work area.
    static constexpr int kLeastWidth = 760, kLeastHeight = 440;
    static constexpr int kOpenWidth = 1100, kOpenHeight = 640;
    // The least width of the State column; it takes what the other columns leave.
    static constexpr int kStateWidth = 240;

    // Builds the window, not yet shown. icon: the resource number of the program's icon (0: none).
    Win32FleetWindow(HINSTANCE instance, int icon);
    ~Win32FleetWindow() override;
    Win32FleetWindow(const Win32FleetWindow&) = delete;
    Win32FleetWindow& operator=(const Win32FleetWindow&) = delete;

    HWND Handle() const { return Window; }

    // FleetView
    void Bind(FleetPresenter* presenter) override;
    void Show() override;
    void Close() override;
    void SetTitle(const std::string& title) override;
    void SetRanges(const std::vector<std::string>& ranges) override;
    void SetInputs(const FleetInputs& inputs) override;
    FleetInputs Inputs() override;
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override;
    void SetSelection(const std::string& text) override;
    void SetSelectChoices(const std::vector<std::string>& choices) override;
    void SetConfigInfo(const std::string& text, const std::string& tip) override;
    void SetStatus(const std::string& text) override;
    void SetOverall(int percent, const std::string& text) override;
    void SetSummary(const std::string& text, const std::string& tip) override;
    void SetDetails(const std::string& text) override;
    void SetControls(const FleetControls& controls) override;
    void InfoBox(const std::string& text) override;
    bool AskStopAndClose(const std::string& text) override;
    std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) override;
    std::optional<size_t> ChooseFromMenu(const std::vector<std::string>& entries) override;
    void PostToUi(std::function<void()> fn) override;
    void PostToUiAfter(int milliseconds, std::function<void()> fn) override;

private:
    friend LRESULT CALLBACK DispatchToWindow<Win32FleetWindow>(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // The font follows the DPI; every control is placed anew for the DPI and the client area.
    void Relayout(UINT dpi);
    void PlaceByClientSize();
    // Sizes the window for a client area of width by height logical pixels, within the work area, centred.
    void PlaceOnWorkArea(int width, int height);
    // The width a control's text needs in the window's font, in pixels.
    int TextWidth(const std::string& text) const;
    void OnCommand(int id);
    LRESULT OnNotify(const NMHDR& header);
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw);
    void SetTip(int id, const std::string& tip);
    void ReportCurrentRow();
    void RemoveCurrent();
    HWND Control(int id) const { return GetDlgItem(Window, id); }

    HINSTANCE Instance;
    HWND Window = nullptr;
    HWND Tips = nullptr; // the tooltips of the texts that may be cut
    HFONT Font = nullptr;
    HFONT BoldFont = nullptr;
    HACCEL Keys = nullptr;
    std::vector<HWND> Labels; // the rows' captions, in the order of the layout
    DpiScale Scale;
    FleetPresenter* Presenter = nullptr;
    UiQueue Posted;
    std::map<UINT_PTR, std::function<void()>> Timers;
    UINT_PTR NextTimer = 100;
    std::vector<FleetRow> Rows; // as drawn: the states' tones and tooltips
    std::wstring TipText;       // the tooltip the table asked for last
    int SortColumn = -1;
    bool SortAscending = true;
    bool Drawing = false; // the table is being filled: its changes are not the operator's
    bool Busy = false;
    HWND FocusBeforeBusy = nullptr; // where the operator was when a job began
};
