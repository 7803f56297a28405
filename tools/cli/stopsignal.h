// The stop signals of fwupdate-cli (Ctrl-C, a hang-up, SIGTERM): the handler only counts them; the main
// thread looks at them while it waits for the run and stops the run at the first one.
#pragma once

#include <chrono>
#include <string>

// While it lives, interrupts are kept from the calling thread and from every thread started
// meanwhile (the link's, the devices', their update workers), so they reach only the main thread.
class BlockStopSignals {
public:
    BlockStopSignals();
    ~BlockStopSignals();
    BlockStopSignals(const BlockStopSignals&) = delete;
    BlockStopSignals& operator=(const BlockStopSignals&) = delete;
};

// From now on the first `handled` stop signals are recorded for StopSignal and StopSignals; the next one
// ends the tool at once.
void CatchStopSignals(int handled);
// The stop signal (SIGINT, SIGHUP or SIGTERM) that arrived first, or 0.
int StopSignal();
// How many stop signals have arrived.
int StopSignals();

// How an interruption is announced: "SIGHUP (the terminal hung up)".
struct SignalName {
    const char* Name;
    const char* Meaning;
};
SignalName NameOfSignal(int signal);
// "interrupted by SIGHUP (the terminal hung up): " followed by what the tool does now.
std::string InterruptedText(int signal, const std::string& now);

// How often the main thread looks for a stop signal while it waits for the devices.
constexpr std::chrono::milliseconds kSignalPoll{50};

// Runs a fleet run or a scan to its end while the stop signals may stop it: starts it with the signals kept
// from its threads, then waits for its end, calling lookAtSignals before the start and between the waits.
// Empty, or why the run could not start.
template <typename Run, typename Look> std::string RunWhileSignalsAllow(Run& run, Look lookAtSignals) {
    lookAtSignals();
    std::string error;
    {
        BlockStopSignals blocked;
        error = run.Start();
    }
    if (!error.empty())
        return error;
    do
        lookAtSignals();
    while (!run.Wait(kSignalPoll));
    return {};
}
