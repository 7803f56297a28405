// LiveLines: each device's live line: connecting, waiting, the progress bar, how it ended.
#include "tools/cli/livelines.h"

#include "base/timetext.h"

LiveLines::LiveLines(CliOutput& out, int devices)
    : Out(out), Updating(static_cast<size_t>(devices > 0 ? devices : 0), 0) {}

void LiveLines::OnConnecting(const ConnectingEvent& e) {
    Out.Live(e.Device.Index, CliOutput::LiveState::Active, "");
}

void LiveLines::OnWaiting(const WaitingEvent& e) {
    Out.Live(e.Device.Index, CliOutput::LiveState::Waiting, e.Device.Label + " waiting for its turn");
}

void LiveLines::OnStarted(const StartedEvent& e) {
    if (static_cast<size_t>(e.Device.Index) < Updating.size())
        Updating[static_cast<size_t>(e.Device.Index)] = 1;
}

void LiveLines::OnProgress(const ProgressEvent& e) {
    // A bar of 20 steps, the pages, the share and the time left.
    const int64_t filled = e.Pages > 0 ? e.Written * 20 / e.Pages : 0;
    const std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(20 - filled), '.') + "]";
    Out.Live(e.Device.Index, CliOutput::LiveState::Active,
             e.Device.Label + " " + bar + " " + ProgressText(e.Written, e.Pages, e.SecondsLeft) +
                 (e.Written == 0 ? " (erasing)" : ""));
}

void LiveLines::OnMessage(const MessageEvent& e) {
    // The update's result follows its last progress: the bar goes.
    const auto i = static_cast<size_t>(e.Device.Index);
    if (i < Updating.size() && Updating[i] != 0) {
        Updating[i] = 0;
        Out.Live(e.Device.Index, CliOutput::LiveState::Active, "");
    }
}

void LiveLines::OnRetry(const RetryEvent& e) {
    Out.Live(e.Device.Index, CliOutput::LiveState::Active,
             e.Device.Label + " attempt " + std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) +
                 " in " + SecondsText(std::chrono::duration<double>(e.Pause).count()));
}

void LiveLines::OnDone(const DoneEvent& e) {
    const bool ok = e.Code == 0;
    Out.Live(e.Device.Index, ok ? CliOutput::LiveState::Done : CliOutput::LiveState::Failed,
             ok ? "" : e.Device.Label + ": " + e.Detail + " (exit " + std::to_string(e.Code) + ")");
}
