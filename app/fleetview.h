// FleetView: the window of many devices as its presenter FleetPresenter sees it: the table of devices, the
// scan and update controls, what it asks the operator. The Qt window (app/qt) and the Win32 window
// (app/win32) implement it. The presenter calls it on the UI thread only; PostToUi is the one operation
// any thread may call.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class FleetPresenter;

// The table's columns, left to right.
enum class FleetColumn { Address, Kennung, Version, Serial, Name, OemName, DeviceName, LibraryName, State };
constexpr size_t kFleetColumns = 9;

// One line of the table as it is drawn.
struct FleetRow {
    std::array<std::string, kFleetColumns> Cells;
    bool Selected = false; // the check box of the address cell
    int Percent = -1;      // while the device is updated, 0 to 100; else -1

    bool operator==(const FleetRow&) const = default;
};

// The column's heading.
const char* FleetColumnHeading(FleetColumn column);

class FleetView {
public:
    // What a file chooser is for: a configuration file (*.cfg), a device list (*.txt) to open, the report
    // (*.csv, *.json) to save.
    enum class FileKind { Config, DeviceList, Report };

    virtual ~FleetView() = default;

    // The presenter the controls report to; nullptr while there is none (the view then ignores them and
    // closes when asked).
    virtual void Bind(FleetPresenter* presenter) = 0;
    virtual void Show() = 0;

    virtual void SetTitle(const std::string& title) = 0;
    // The ranges offered to scan (the computer's own networks); the first one is shown in the range field.
    virtual void SetRanges(const std::vector<std::string>& ranges) = 0;
    // The table has count rows now; changed are the rows (by position, from the top) drawn anew. Rows not
    // named stay as they are.
    virtual void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) = 0;
    // The versions the devices report, for "select every device of this version".
    virtual void SetVersions(const std::vector<std::string>& versions) = 0;
    // What the chosen configuration file holds, and whether its image checks out.
    virtual void SetConfigInfo(const std::string& text) = 0;
    // The status line under the table.
    virtual void SetStatus(const std::string& text) = 0;
    // The overall progress of an update (percent, -1 hides it) and its text (devices ended, time left).
    virtual void SetOverall(int percent, const std::string& text) = 0;
    // While a scan or an update runs, only Stop (and the selection) takes presses.
    virtual void SetBusy(bool busy) = 0;
    // Modal information box with one "OK" button.
    virtual void InfoBox(const std::string& text) = 0;
    // The file chooser of that kind opened in startFolder (a save dialog for the report): the chosen file
    // (UTF-8), or nothing when the operator cancelled.
    virtual std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) = 0;
    // Runs fn on the UI thread soon, from any thread, without waiting for it. A function posted to a view
    // that is gone is dropped.
    virtual void PostToUi(std::function<void()> fn) = 0;
    // Runs fn on the UI thread after milliseconds; called on the UI thread.
    virtual void PostToUiAfter(int milliseconds, std::function<void()> fn) = 0;
};
