// The stop signal of fwupdate-cli: stored by the handler, read by the main thread.
#include "tools/cli/stopsignal.h"

#include <atomic>

#include "base/platform.h"

namespace {

std::atomic<int> Received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into it");

void OnStopSignal(int sig) {
    Received.store(sig);
}

} // namespace

BlockStopSignals::BlockStopSignals() {
    BlockInterrupts();
}

BlockStopSignals::~BlockStopSignals() {
    UnblockInterrupts();
}

void CatchStopSignals() {
    CatchInterrupts(OnStopSignal, true);
}

int StopSignal() {
    return Received.load();
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
