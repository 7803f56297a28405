// RunStop: the stop of a run, asked for by its front end from any thread. It is sticky (the first reason
// holds, later requests change nothing) and waits that look at it end as soon as it is asked for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "fleet/resultcode.h"

// Why a run stopped: the code its interrupted devices end with, and the signal that asked for the stop
// (1, 2 or 15 for the command line's stop signals; 0 for a stop that no signal asked for).
struct StopReason {
    int Code = kExitInterrupted;
    int Signal = 0;
};

class RunStop {
public:
    // Records the reason unless one is recorded already: true for the first request.
    bool Request(const StopReason& reason);
    // The recorded reason, once requested.
    std::optional<StopReason> Reason() const;
    // Whether the stop was asked for.
    bool Requested() const;
    // Waits at most limit: true when the stop was asked for (before or meanwhile).
    bool WaitFor(std::chrono::milliseconds limit) const;

private:
    mutable std::mutex Lock;
    mutable std::condition_variable Changed;
    std::optional<StopReason> Recorded;
};
