// The stop signal of fwupdate-cli: counted by the handler, read by the main thread.
#include "tools/cli/stopsignal.h"

#include <atomic>

#include "base/platform.h"

namespace {

std::atomic<int> First{0};
std::atomic<int> Count{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into it");

void OnStopSignal(int sig) {
    int none = 0;
    First.compare_exchange_strong(none, sig);
    Count.fetch_add(1);
}

} // namespace

BlockStopSignals::BlockStopSignals() {
    BlockInterrupts();
}

BlockStopSignals::~BlockStopSignals() {
    UnblockInterrupts();
}

void CatchStopSignals(int handled) {
    CatchInterrupts(OnStopSignal, handled);
}

int StopSignal() {
    return First.load();
}

int StopSignals() {
    return Count.load();
}

SignalName NameOfSignal(int signal) {
    switch (signal) {
    case 1:
        return {"SIGHUP", "the terminal hung up"};
    case 2:
        return {"SIGINT", "Ctrl-C"};
    case 15:
        return {"SIGTERM", "a termination request"};
    default:
        return {"a signal", "unexpected"};
    }
}

std::string InterruptedText(int signal, const std::string& now) {
    const SignalName name = NameOfSignal(signal);
    return std::string("interrupted by ") + name.Name + " (" + name.Meaning + "): " + now;
}
