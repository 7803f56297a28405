// The list of fwupdate-cli's observers, and what they share.
#include "tools/cli/cliobservers.h"

#include <cstdio>

#include "base/timetext.h"
#include "tools/cli/jsonlines.h"
#include "tools/cli/livelines.h"
#include "tools/cli/textlines.h"

ProgressSteps::ProgressSteps(int devices, int every)
    : Every(every), LastTold(static_cast<size_t>(devices > 0 ? devices : 0), 0) {}

void ProgressSteps::Restart(const FleetDevice& device) {
    if (static_cast<size_t>(device.Index) < LastTold.size())
        LastTold[static_cast<size_t>(device.Index)] = 0;
}

bool ProgressSteps::Due(const ProgressEvent& e) {
    if (!e.NewPage || static_cast<size_t>(e.Device.Index) >= LastTold.size())
        return false;
    int64_t& last = LastTold[static_cast<size_t>(e.Device.Index)];
    if (e.Written <= last || (e.Written != e.Pages && e.Written - last < Every))
        return false;
    last = e.Written;
    return true;
}

int Percent(int64_t written, int64_t pages) {
    return pages > 0 ? static_cast<int>(written * 100 / pages) : 0;
}

std::string ProgressText(int64_t written, int64_t pages, double secondsLeft) {
    return "page " + std::to_string(written) + "/" + std::to_string(pages) + " (" +
           std::to_string(Percent(written, pages)) + "%), " + SecondsText(secondsLeft) + " left";
}

std::string ScanWhere(const std::string& range, int port) {
    return range + " port " + std::to_string(port);
}

std::string ScanState(const ScanSummaryEvent& e) {
    std::string state =
        std::to_string(e.Found) + (e.Found == 1 ? " device" : " devices") + " in " +
        std::to_string(e.Addresses) + " addresses" +
        (e.Stopped ? " (interrupted after " + std::to_string(e.Scanned) +
                         (e.Unfinished > 0 ? ", " + std::to_string(e.Unfinished) + " unfinished" : "") + ")"
                   : "");
    if (e.Unidentified > 0)
        state +=
            ", " + std::to_string(e.Unidentified) + " more took" + " the connection but did not identify";
    if (!e.Stopped && e.Scanned > 0 && e.Refused == e.Scanned)
        state += "; every address refused the connection on port " + std::to_string(e.Port) +
                 " (another port: --port P)";
    return state;
}

CliObservers::CliObservers(CliOutput& out, const Presentation& p, int devices) {
    switch (out.GetMode()) {
    case CliOutput::Mode::Json:
        Own.push_back(std::make_unique<JsonLines>(out, p, devices));
        break;
    case CliOutput::Mode::Terminal:
        Own.push_back(std::make_unique<LiveLines>(out, devices));
        Own.push_back(std::make_unique<TextLines>(out, p, devices));
        break;
    case CliOutput::Mode::Plain:
        Own.push_back(std::make_unique<TextLines>(out, p, devices));
        break;
    }
    for (const auto& o : Own)
        List.push_back(o.get());
}

void CliObservers::OnConnecting(const ConnectingEvent& e) {
    Each([&](FleetObserver& o) { o.OnConnecting(e); });
}
void CliObservers::OnConnected(const ConnectedEvent& e) {
    Each([&](FleetObserver& o) { o.OnConnected(e); });
}
void CliObservers::OnIdentified(const IdentifiedEvent& e) {
    Each([&](FleetObserver& o) { o.OnIdentified(e); });
}
void CliObservers::OnPlan(const PlanEvent& e) {
    Each([&](FleetObserver& o) { o.OnPlan(e); });
}
void CliObservers::OnWaiting(const WaitingEvent& e) {
    Each([&](FleetObserver& o) { o.OnWaiting(e); });
}
void CliObservers::OnStarted(const StartedEvent& e) {
    Each([&](FleetObserver& o) { o.OnStarted(e); });
}
void CliObservers::OnProgress(const ProgressEvent& e) {
    Each([&](FleetObserver& o) { o.OnProgress(e); });
}
void CliObservers::OnMessage(const MessageEvent& e) {
    Each([&](FleetObserver& o) { o.OnMessage(e); });
}
void CliObservers::OnRetry(const RetryEvent& e) {
    Each([&](FleetObserver& o) { o.OnRetry(e); });
}
void CliObservers::OnRefused(const RefusedEvent& e) {
    Each([&](FleetObserver& o) { o.OnRefused(e); });
}
void CliObservers::OnDone(const DoneEvent& e) {
    Each([&](FleetObserver& o) { o.OnDone(e); });
}
void CliObservers::OnInterrupted(const InterruptedEvent& e) {
    Each([&](FleetObserver& o) { o.OnInterrupted(e); });
}
void CliObservers::OnSummary(const SummaryEvent& e) {
    Each([&](FleetObserver& o) { o.OnSummary(e); });
}
void CliObservers::OnReportProblem(const ReportProblemEvent& e) {
    std::fprintf(stderr, "fwupdate-cli: --report: %s\n", e.Error.c_str());
}
void CliObservers::OnFound(const FoundEvent& e) {
    Each([&](FleetObserver& o) { o.OnFound(e); });
}
void CliObservers::OnConfigRefused(const ConfigRefusedEvent& e) {
    Each([&](FleetObserver& o) { o.OnConfigRefused(e); });
}
void CliObservers::OnWave(const WaveEvent& e) {
    Each([&](FleetObserver& o) { o.OnWave(e); });
}
void CliObservers::OnHold(const HoldEvent& e) {
    Each([&](FleetObserver& o) { o.OnHold(e); });
}
void CliObservers::OnUnidentified(const UnidentifiedEvent& e) {
    Each([&](FleetObserver& o) { o.OnUnidentified(e); });
}
void CliObservers::OnScanSummary(const ScanSummaryEvent& e) {
    Each([&](FleetObserver& o) { o.OnScanSummary(e); });
}
