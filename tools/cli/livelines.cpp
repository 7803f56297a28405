// LiveLines: each device's live line: connecting, waiting, the progress bar, how it ended; and the run's
// time left.
#include "tools/cli/livelines.h"

#include <algorithm>
#include <mutex>

#include "base/timetext.h"
#include "fleet/resultcode.h"

LiveLines::LiveLines(CliOutput& out, int devices)
    : Out(out), Updating(static_cast<size_t>(devices > 0 ? devices : 0), 0),
      Times(static_cast<size_t>(devices > 0 ? devices : 0)) {}

void LiveLines::Note(int device, DeviceStage at, double left) {
    if (device < 0 || static_cast<size_t>(device) >= Times.size())
        return;
    Times[static_cast<size_t>(device)] = {at, left};
    const double seconds = RunSecondsLeft(Times, FullUpdate, Jobs);
    // Nothing once every device has ended, or before an update began.
    Out.SetRunLeft(seconds <= 0 ? "" : "about " + SecondsText(seconds) + " left");
}

void LiveLines::OnConnecting(const ConnectingEvent& e) {
    std::lock_guard hold(Lock);
    Note(e.Device.Index, DeviceStage::Connecting);
    Out.Live(e.Device.Index, CliOutput::LiveState::Active, "");
}

void LiveLines::OnWaiting(const WaitingEvent& e) {
    std::lock_guard hold(Lock);
    Jobs = e.Jobs;
    Note(e.Device.Index, DeviceStage::Queued);
    Out.Live(e.Device.Index, CliOutput::LiveState::Waiting, e.Device.Label + " waiting for its turn");
}

void LiveLines::OnStarted(const StartedEvent& e) {
    std::lock_guard hold(Lock);
    FullUpdate = std::max(FullUpdate, e.SecondsLeft);
    Note(e.Device.Index, DeviceStage::Updating, e.SecondsLeft);
    if (static_cast<size_t>(e.Device.Index) < Updating.size())
        Updating[static_cast<size_t>(e.Device.Index)] = 1;
}

void LiveLines::OnProgress(const ProgressEvent& e) {
    std::lock_guard hold(Lock);
    Note(e.Device.Index, DeviceStage::Updating, e.SecondsLeft);
    Out.LiveProgress(e.Device.Index, e.Device.Label, e.Written, e.Pages,
                     ProgressText(e.Written, e.Pages, e.SecondsLeft) + (e.Written == 0 ? " (erasing)" : ""));
}

void LiveLines::OnMessage(const MessageEvent& e) {
    std::lock_guard hold(Lock);
    // The update's result follows its last progress: the bar goes.
    const auto i = static_cast<size_t>(e.Device.Index);
    if (i < Updating.size() && Updating[i] != 0) {
        Updating[i] = 0;
        Out.Live(e.Device.Index, CliOutput::LiveState::Active, "");
    }
}

void LiveLines::OnRetry(const RetryEvent& e) {
    std::lock_guard hold(Lock);
    Note(e.Device.Index, DeviceStage::Connecting);
    Out.Live(e.Device.Index, CliOutput::LiveState::Active,
             e.Device.Label + " attempt " + std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) +
                 " in " + SecondsText(std::chrono::duration<double>(e.Pause).count()));
}

void LiveLines::OnDone(const DoneEvent& e) {
    std::lock_guard hold(Lock);
    Note(e.Device.Index, DeviceStage::Ended);
    // A rule's refusal (OEM id, serial number) is counted apart from the failures.
    const bool refused = e.Code == kExitOemRule || e.Code == kExitSerialRule;
    const CliOutput::LiveState state = e.Code == 0 ? CliOutput::LiveState::Done
                                       : refused   ? CliOutput::LiveState::Refused
                                                   : CliOutput::LiveState::Failed;
    Out.Live(e.Device.Index, state,
             e.Code == 0 ? "" : e.Device.Label + ": " + e.Detail + " (exit " + std::to_string(e.Code) + ")");
}
