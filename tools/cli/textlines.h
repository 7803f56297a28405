// TextLines: fwupdate-cli's plain lines, "HOST:PORT: what happened".
#pragma once

#include <string>
#include <vector>

#include "tools/cli/cliobservers.h"

// Plain lines, "HOST:PORT: what happened"; progress lines only where no live line shows the progress.
class TextLines : public FleetObserver {
public:
    TextLines(CliOutput& out, const Presentation& p, int devices);

    void OnConnected(const ConnectedEvent& e) override;
    void OnIdentified(const IdentifiedEvent& e) override;
    void OnPlan(const PlanEvent& e) override;
    void OnWaiting(const WaitingEvent& e) override;
    void OnStarted(const StartedEvent& e) override;
    void OnProgress(const ProgressEvent& e) override;
    void OnMessage(const MessageEvent& e) override;
    void OnRetry(const RetryEvent& e) override;
    void OnDone(const DoneEvent& e) override;
    void OnInterrupted(const InterruptedEvent& e) override;
    void OnWave(const WaveEvent& e) override;
    void OnHold(const HoldEvent& e) override;
    void OnSummary(const SummaryEvent& e) override;
    void OnConfigRefused(const ConfigRefusedEvent& e) override;
    void OnFound(const FoundEvent& e) override;
    void OnUnidentified(const UnidentifiedEvent& e) override;
    void OnScanSummary(const ScanSummaryEvent& e) override;

private:
    void Say(const FleetDevice& device, const std::string& text);
    bool IsUntouched(const FleetDevice& device) const;

    CliOutput& Out;
    const Presentation P;
    ProgressSteps Steps;
    // The devices of a refused configuration: said once for all of them, nothing more of each. Written
    // before any device's event.
    std::vector<bool> Untouched;
};
