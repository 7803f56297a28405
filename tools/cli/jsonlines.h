// JsonLines: fwupdate-cli's JSON Lines events.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/cliobservers.h"

// One JSON object a line, each starting with "event" and "time".
class JsonLines : public FleetObserver {
public:
    JsonLines(CliOutput& out, const Presentation& p, int devices);

    void OnConnected(const ConnectedEvent& e) override;
    void OnIdentified(const IdentifiedEvent& e) override;
    void OnPlan(const PlanEvent& e) override;
    void OnWaiting(const WaitingEvent& e) override;
    void OnStarted(const StartedEvent& e) override;
    void OnProgress(const ProgressEvent& e) override;
    void OnRetry(const RetryEvent& e) override;
    void OnRefused(const RefusedEvent& e) override;
    void OnDone(const DoneEvent& e) override;
    void OnInterrupted(const InterruptedEvent& e) override;
    void OnWave(const WaveEvent& e) override;
    void OnHold(const HoldEvent& e) override;
    void OnSummary(const SummaryEvent& e) override;
    void OnFound(const FoundEvent& e) override;
    void OnUnidentified(const UnidentifiedEvent& e) override;
    void OnScanSummary(const ScanSummaryEvent& e) override;

private:
    CliOutput& Out;
    ProgressSteps Steps;
};
