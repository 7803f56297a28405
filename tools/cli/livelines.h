// LiveLines: fwupdate-cli's live line per device on a terminal.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/cliobservers.h"

// The live line of each device on a terminal: where it stands, its progress bar and the time left.
class LiveLines : public FleetObserver {
public:
    LiveLines(CliOutput& out, int devices);

    void OnConnecting(const ConnectingEvent& e) override;
    void OnWaiting(const WaitingEvent& e) override;
    void OnStarted(const StartedEvent& e) override;
    void OnProgress(const ProgressEvent& e) override;
    void OnMessage(const MessageEvent& e) override;
    void OnRetry(const RetryEvent& e) override;
    void OnDone(const DoneEvent& e) override;

private:
    CliOutput& Out;
    std::vector<char> Updating; // per device: its live line shows an update's progress
};
