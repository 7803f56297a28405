// How fwupdate-cli shows a run or a scan: what the words depend on, which progress is worth a line, and
// the observers of the output's mode (textlines.h, jsonlines.h, livelines.h) in one list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fleet/fleetevents.h"
#include "tools/cli/clioptions.h"
#include "tools/cli/clioutput.h"

// What the words depend on: the command and the options that change them.
struct Presentation {
    CliCommand Command = CliCommand::Update;
    bool DryRun = false;
    int ProgressEvery = 16; // pages between progress lines or events
};

// Which pages are worth a progress line: every ProgressEvery pages and the last one. One device's events
// come one at a time, so each device's count needs no lock.
class ProgressSteps {
public:
    ProgressSteps(int devices, int every);
    void Restart(const FleetDevice& device);
    bool Due(const ProgressEvent& e);

private:
    const int Every;
    std::vector<int64_t> LastTold;
};

// The observers of the output's mode, in the order they see each event (the live line before the text
// line); a report that cannot be written is said on standard error whatever the mode.
class CliObservers : public FleetObserver {
public:
    CliObservers(CliOutput& out, const Presentation& p, int devices);
    // Another observer, told after those of the output.
    void Add(FleetObserver& observer) { List.push_back(&observer); }

    void OnConnecting(const ConnectingEvent& e) override;
    void OnConnected(const ConnectedEvent& e) override;
    void OnIdentified(const IdentifiedEvent& e) override;
    void OnPlan(const PlanEvent& e) override;
    void OnWaiting(const WaitingEvent& e) override;
    void OnStarted(const StartedEvent& e) override;
    void OnProgress(const ProgressEvent& e) override;
    void OnMessage(const MessageEvent& e) override;
    void OnRetry(const RetryEvent& e) override;
    void OnRefused(const RefusedEvent& e) override;
    void OnDone(const DoneEvent& e) override;
    void OnInterrupted(const InterruptedEvent& e) override;
    void OnWave(const WaveEvent& e) override;
    void OnHold(const HoldEvent& e) override;
    void OnSummary(const SummaryEvent& e) override;
    void OnReportProblem(const ReportProblemEvent& e) override;
    void OnConfigRefused(const ConfigRefusedEvent& e) override;
    void OnFound(const FoundEvent& e) override;
    void OnUnidentified(const UnidentifiedEvent& e) override;
    void OnScanSummary(const ScanSummaryEvent& e) override;

private:
    template <typename Tell> void Each(Tell tell) {
        for (FleetObserver* o : List)
            tell(*o);
    }

    std::vector<std::unique_ptr<FleetObserver>> Own;
    std::vector<FleetObserver*> List;
};

// The range and port a scan covered: "127.0.0.90-99 port 2000".
std::string ScanWhere(const std::string& range, int port);
// What a scan found: "3 devices in 10 addresses", with " (interrupted after N)" when stopped (", K
// unfinished" with it: the probes the stop ended before they had an outcome).
std::string ScanState(const ScanSummaryEvent& e);
// "page 3/9 (33%), 4.5 s left".
std::string ProgressText(int64_t written, int64_t pages, double secondsLeft);
int Percent(int64_t written, int64_t pages);
