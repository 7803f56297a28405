// The stop signals of fwupdate-cli (Ctrl-C, a hang-up, SIGTERM): the first one asks every device to
// stop between pages (the main thread polls StopSignal), a second one ends the tool at once.
#pragma once

#include <chrono>

// While it lives, interrupts are kept from the calling thread and from every thread started
// meanwhile (the link's, the devices', their update workers), so they reach only the main thread.
class BlockStopSignals {
public:
    BlockStopSignals();
    ~BlockStopSignals();
    BlockStopSignals(const BlockStopSignals&) = delete;
    BlockStopSignals& operator=(const BlockStopSignals&) = delete;
};

// From now on the first stop signal is recorded for StopSignal; a second one ends the tool.
void CatchStopSignals();
// The stop signal (SIGINT, SIGHUP or SIGTERM) that arrived first, or 0.
int StopSignal();

// How an interruption is announced: "SIGHUP (the terminal hung up)".
struct SignalName {
    const char* Name;
    const char* Meaning;
};
SignalName NameOfSignal(int signal);

// How often the main thread looks for a stop signal while it waits for the devices.
constexpr std::chrono::milliseconds kSignalPoll{50};
