// RecordingFleetView: a FleetView for the tests and the benchmark of the window of many devices. It keeps
// the table as the window would draw it, counts the calls, and runs what is posted to the UI thread (and
// the timers that are due) when the caller, which plays the UI thread, waits with WaitFor.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/fleetview.h"
#include "tests/app/testuithread.h"

class RecordingFleetView : public FleetView {
public:
    // ---- What the window shows (UI thread) ----
    FleetPresenter* presenter = nullptr;
    std::string title;
    std::vector<std::string> ranges;
    FleetInputs inputs; // the fields and the size
    std::vector<FleetRow> rows;
    std::string selection;
    std::vector<std::string> choices;
    std::string configInfo, configTip;
    std::string status;
    int overallPercent = -1;
    std::string overallText;
    std::string summary, summaryTip;
    std::string details;
    FleetControls controls;
    bool busy = false;
    bool closed = false;
    std::vector<std::string> boxes;
    std::vector<std::string> questions;
    bool stopAndClose = false; // the answer to the question while devices are updated
    // The choosers: what each kind returns next (nothing: cancelled).
    std::optional<std::string> nextConfig, nextList, nextReport;
    // The menus shown under "By version…", and the entry chosen in the next one (nothing: closed).
    std::vector<std::vector<std::string>> menus;
    std::optional<size_t> nextMenu;
    // SetRows calls, and the rows each one drew.
    size_t setRowsCalls = 0;
    std::vector<size_t> batchSizes;

    // The text of one cell of the row at position.
    std::string Cell(size_t position, FleetColumn column) const {
        return position < rows.size() ? rows[position].Cells[static_cast<size_t>(column)] : std::string();
    }
    // The row whose address cell is address, or nullptr.
    const FleetRow* Row(const std::string& address) const {
        for (const FleetRow& r : rows)
            if (r.Cells[static_cast<size_t>(FleetColumn::Address)] == address)
                return &r;
        return nullptr;
    }
    std::string State(const std::string& address) const {
        const FleetRow* r = Row(address);
        return r ? r->Cells[static_cast<size_t>(FleetColumn::State)] : "(no row)";
    }

    // Runs what is posted, and the timers as they fall due, until cond holds: true, or false after limit.
    bool WaitFor(const std::function<bool()>& cond,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return Ui.WaitFor(cond, limit);
    }

    // The selected rows as "x" and "-", top to bottom.
    std::string Ticks() const {
        std::string s;
        for (const FleetRow& r : rows)
            s += r.Selected ? "x" : "-";
        return s;
    }

    // ---- FleetView ----
    void Bind(FleetPresenter* p) override { presenter = p; }
    void Show() override {}
    void Close() override { closed = true; }
    void SetTitle(const std::string& text) override { title = text; }
    void SetRanges(const std::vector<std::string>& r) override { ranges = r; }
    void SetInputs(const FleetInputs& in) override { inputs = in; }
    FleetInputs Inputs() override { return inputs; }
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override {
        ++setRowsCalls;
        batchSizes.push_back(changed.size());
        rows.resize(count);
        for (const auto& [position, row] : changed)
            rows.at(position) = row;
    }
    void SetSelection(const std::string& text) override { selection = text; }
    void SetSelectChoices(const std::vector<std::string>& c) override { choices = c; }
    void SetConfigInfo(const std::string& text, const std::string& tip) override {
        configInfo = text;
        configTip = tip;
    }
    void SetStatus(const std::string& text) override { status = text; }
    void SetOverall(int percent, const std::string& text) override {
        overallPercent = percent;
        overallText = text;
    }
    void SetSummary(const std::string& text, const std::string& tip) override {
        summary = text;
        summaryTip = tip;
    }
    void SetDetails(const std::string& text) override { details = text; }
    void SetControls(const FleetControls& c) override {
        controls = c;
        busy = c.Busy;
    }
    void InfoBox(const std::string& text) override { boxes.push_back(text); }
    bool AskStopAndClose(const std::string& text) override {
        questions.push_back(text);
        return stopAndClose;
    }
    std::optional<std::string> ChooseFile(FileKind kind, const std::string&) override {
        return kind == FileKind::Config ? nextConfig : kind == FileKind::DeviceList ? nextList : nextReport;
    }
    std::optional<size_t> ChooseFromMenu(const std::vector<std::string>& entries) override {
        menus.push_back(entries);
        return nextMenu;
    }
    void PostToUi(std::function<void()> fn) override { Ui.Post(std::move(fn)); }
    void PostToUiAfter(int milliseconds, std::function<void()> fn) override {
        Ui.PostAfter(milliseconds, std::move(fn));
    }

private:
    TestUiThread Ui;
};
