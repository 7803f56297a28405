// Win32FleetWindow: the window of many devices drawn with the Win32 API: the find row (range, port, Scan, a
// device list, one address), the update row (configuration, jobs, retries, Update selected, Stop, Save
// report), the selection row, the table of devices (a list view with check boxes), the overall progress and
// the status bar, scaled for the monitor's DPI. It shows what its presenter FleetPresenter tells it; the
// controls report to the presenter.
#pragma once

#include <windows.h>

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
        VERSIONS,
        SELECTVERSION,
        DEVICES,
        OVERALL,
        OVERALLTEXT,
        STATUS,
        JOBSSPIN,
        RETRIESSPIN,
    };

    // Builds the window, not yet shown. icon: the resource number of the program's icon (0: none).
    Win32FleetWindow(HINSTANCE instance, int icon);
    ~Win32FleetWindow() override;
    Win32FleetWindow(const Win32FleetWindow&) = delete;
    Win32FleetWindow& operator=(const Win32FleetWindow&) = delete;

    HWND Handle() const { return Window; }

    // FleetView
    void Bind(FleetPresenter* presenter) override;
    void Show() override;
    void SetTitle(const std::string& title) override;
    void SetRanges(const std::vector<std::string>& ranges) override;
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override;
    void SetVersions(const std::vector<std::string>& versions) override;
    void SetConfigInfo(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    void SetOverall(int percent, const std::string& text) override;
    void SetBusy(bool busy) override;
    void InfoBox(const std::string& text) override;
    std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) override;
    void PostToUi(std::function<void()> fn) override;
    void PostToUiAfter(int milliseconds, std::function<void()> fn) override;

private:
    friend LRESULT CALLBACK DispatchToWindow<Win32FleetWindow>(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // The font and the fixed rows follow the DPI; the table and what is under it follow the window's size.
    void Relayout(UINT dpi);
    void PlaceByClientSize();
    void OnCommand(int id);
    void OnNotify(const NMHDR& header);
    HWND Control(int id) const { return GetDlgItem(Window, id); }

    HINSTANCE Instance;
    HWND Window = nullptr;
    HFONT Font = nullptr;
    std::vector<HWND> Labels; // the rows' captions, in the order of the layout
    DpiScale Scale;
    FleetPresenter* Presenter = nullptr;
    UiQueue Posted;
    std::map<UINT_PTR, std::function<void()>> Timers;
    UINT_PTR NextTimer = 100;
    int SortColumn = -1;
    bool SortAscending = true;
    bool Drawing = false; // the table is being filled: its changes are not the operator's
};
