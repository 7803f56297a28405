// LiveLines: fwupdate-cli's live line per device on a terminal.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tools/cli/cliobservers.h"
#include "tools/cli/runtimeleft.h"

// The live line of each device on a terminal: where it stands, its progress bar and the time left; and
// the whole run's time left, for the line that counts the devices.
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
    // Notes where device stands and hands the run's time left to the output. Caller holds Lock.
    void Note(int device, DeviceStage at, double left = 0);

    CliOutput& Out;
    std::mutex Lock; // the devices' events come from their own threads
    std::vector<char> Updating; // per device: its live line shows an update's progress
    std::vector<DeviceTime> Times;
    double FullUpdate = 0; // the longest whole update a device began, in seconds
    int Jobs = 0;
};
