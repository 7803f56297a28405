// FleetView: the window of many devices as its presenter FleetPresenter sees it: the table of devices, the
// scan and update controls, the details of one device, the run's kept summary, what it asks the operator.
// The Qt window (app/qt) and the Win32 window (app/win32) implement it. The presenter calls it on the UI
// thread only; PostToUi is the one operation any thread may call.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class FleetPresenter;

// The table's columns, left to right: the state next to the address, so that it shows in a narrow window,
// then the rollout's wave of the device's last update (empty without waves).
enum class FleetColumn {
    Address,
    State,
    Wave,
    Kennung,
    Version,
    Serial,
    Name,
    OemName,
    DeviceName,
    LibraryName
};
constexpr size_t kFleetColumns = 10;

// What kind of state a row shows, drawn as a colour besides its text.
enum class FleetTone {
    Plain,      // found, listed: nothing to tell
    Busy,       // connecting, waiting, updating, retrying
    Ok,         // the update ended OK
    Failed,     // failed, no answer, did not identify
    Refused,    // refused by a rule, the configuration or the image
    Stopped,    // stopped before its update began: nothing written
    Incomplete, // the flash is incomplete: update it again
    Held,       // the rollout held it back before it began: nothing written
    Skipped,    // no configuration for the version it reports: nothing written
};

// One line of the table as it is drawn.
struct FleetRow {
    std::array<std::string, kFleetColumns> Cells;
    bool Selected = false; // the check box of the address cell
    int Percent = -1;      // while the device is updated, 0 to 100; else -1
    FleetTone Tone = FleetTone::Plain;
    std::string Tip; // the state in full, for the state cell's tooltip

    bool operator==(const FleetRow&) const = default;
};

// The column's heading.
const char* FleetColumnHeading(FleetColumn column);

// Which controls take presses.
struct FleetControls {
    bool Busy = false; // a scan or an update runs: only Stop of the find and update controls
    bool SelectionLocked =
        false;                // an update runs: the selection, Jobs, Retries, Waves, Max failed are its own
    bool RetryFailed = false; // the last update left failed devices
    bool UpdateRest = false;  // the last update left devices to update
    bool SaveReport = false;  // an update has run: there is a report

    bool operator==(const FleetControls&) const = default;
};

// What the operator entered in the window's fields, and the window's size in logical pixels (96 DPI; 0:
// the window's own), kept from one start to the next.
struct FleetInputs {
    std::string Range;
    std::string Port = "2000";
    int Jobs = 4;
    int Retries = 1;
    int Width = 0;
    int Height = 0;
    // The rollout: cumulative wave sizes ("2,25%,100%") and the failures it tolerates ("2", "10%"); empty:
    // every device at once, and no limit.
    std::string Waves;
    std::string MaxFailed;

    bool operator==(const FleetInputs&) const = default;
};

// The tooltips of the rollout's fields, the same in both windows.
inline constexpr const char* kFleetWavesTip =
    "Waves: cumulative sizes, counts or percentages of the devices to update in table order, e.g. "
    "2,25%,100% (two devices alone, then up to a quarter, then the rest); a wave begins once every device "
    "of the one before has ended. Empty: every device at once";
inline constexpr const char* kFleetMaxFailedTip =
    "Max failed: once more devices have failed than this (N, or P% of the devices that have ended), no "
    "further device begins; those being programmed finish, the others are held, untouched. Empty: no "
    "limit, but with waves a wave that ends with a failure holds the rest. Failures: failed updates, no "
    "connection, an unusable configuration or image; not the OEM or serial rule";
inline constexpr const char* kFleetByVersionTip =
    "A configuration for each version the devices report; a device of a version without one takes the "
    "configuration for all, else it is skipped";

// A kind of file the choosers offer: its name and patterns ("Device lists", {"*.txt", "*.list"}).
struct FleetFileType {
    const char* Name;
    std::vector<const char*> Patterns;
};

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
    // Closes the window (the presenter asked the operator first).
    virtual void Close() = 0;

    virtual void SetTitle(const std::string& title) = 0;
    // The ranges offered to scan (the computer's own networks); the first one is shown in the range field.
    virtual void SetRanges(const std::vector<std::string>& ranges) = 0;
    // The fields as they were left the last time, and the window's size.
    virtual void SetInputs(const FleetInputs& inputs) = 0;
    // The fields as they are now, and the window's size.
    virtual FleetInputs Inputs() = 0;
    // The table has count rows now; changed are the rows (by position, from the top) drawn anew. Rows not
    // named stay as they are.
    virtual void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) = 0;
    // "N of M selected", and whether the selection takes changes (it does not while an update runs: the
    // text then says so).
    virtual void SetSelection(const std::string& text) = 0;
    // What the selection list offers besides all and none: states ("failed", "not OK", ...), then the
    // versions the devices report.
    virtual void SetSelectChoices(const std::vector<std::string>& choices) = 0;
    // What the chosen configuration file holds, its verdict first ("image checks out: ..."), and all of it
    // for a tooltip.
    virtual void SetConfigInfo(const std::string& text, const std::string& tip) = 0;
    // The status line under the table: what just happened.
    virtual void SetStatus(const std::string& text) = 0;
    // The progress of a scan or an update (percent, -1 hides the bar) and its text.
    virtual void SetOverall(int percent, const std::string& text) = 0;
    // The last update's summary, kept until the next one: how its devices ended and those that need action;
    // all of it for a tooltip.
    virtual void SetSummary(const std::string& text, const std::string& tip) = 0;
    // What is known of the device of the current row (several lines); empty when there is none.
    virtual void SetDetails(const std::string& text) = 0;
    virtual void SetControls(const FleetControls& controls) = 0;
    // A menu under the "By version…" button with these entries (an empty one is a separator): the one
    // chosen, or nothing when the operator closed it.
    virtual std::optional<size_t> ChooseFromMenu(const std::vector<std::string>& entries) = 0;
    // Modal information box with one "OK" button.
    virtual void InfoBox(const std::string& text) = 0;
    // Modal question while devices are updated: true for "Stop and close", false for staying open.
    virtual bool AskStopAndClose(const std::string& text) = 0;
    // The file chooser of that kind opened in startFolder (a save dialog for the report): the chosen file
    // (UTF-8), or nothing when the operator cancelled.
    virtual std::optional<std::string> ChooseFile(FileKind kind, const std::string& startFolder) = 0;
    // Runs fn on the UI thread soon, from any thread, without waiting for it. A function posted to a view
    // that is gone is dropped.
    virtual void PostToUi(std::function<void()> fn) = 0;
    // Runs fn on the UI thread after milliseconds; called on the UI thread.
    virtual void PostToUiAfter(int milliseconds, std::function<void()> fn) = 0;
};

// The file types each chooser offers, the same on every platform; the first one is chosen at first.
std::vector<FleetFileType> FleetFileTypes(FleetView::FileKind kind);
