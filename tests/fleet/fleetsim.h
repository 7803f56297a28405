// Helpers of the fleet tests: simulated devices in this process on their own loopback addresses, an
// observer that writes down every event, and firmware files.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fleet/fleetevents.h"
#include "tools/fwdevsim/simserver.h"

// A simulated device (the simulator's own server) on address with an ephemeral port, or the port given,
// serving connection after connection until it goes.
class LoopbackSim {
public:
    explicit LoopbackSim(SimOptions options, uint16_t port = 0);
    ~LoopbackSim();
    LoopbackSim(const LoopbackSim&) = delete;
    LoopbackSim& operator=(const LoopbackSim&) = delete;

    bool Listening() const { return Thread.joinable(); }
    uint16_t Port() const { return Server.Port(); }
    std::string Device() const { return Server.Address() + ":" + std::to_string(Server.Port()); }
    // Waits until at least `ended` sessions have ended (their reports written; bounded), stops serving and
    // gives every session's report (what the device received), oldest first.
    std::vector<nlohmann::json> Sessions(size_t ended = 0);

private:
    std::vector<nlohmann::json> Reports() const;

    SimServer Server;
    std::string OutPath; // the reports, one JSON line per session
    std::FILE* Out = nullptr;
    std::thread Thread;
};

// The options of a simulated device on address that never listens on the reconnect port.
SimOptions SimAt(const std::string& address);

// Starts a fleet run or a scan and waits for its end (bounded); false when it did not end.
template <typename Run> bool RunToEnd(Run& run) {
    EXPECT_EQ(run.Start(), "");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!run.Wait(std::chrono::milliseconds(100)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// Runs body in a thread of its own and waits for it at most limit: a body that has not ended by then is
// taken for a deadlock, and the test program ends with a failure instead of hanging.
void UnderWatchdog(const std::function<void()>& body, std::chrono::seconds limit = std::chrono::seconds(90));

// Every event as one line of text, "<device index> <event> <details>" or "<event> <details>" for the run's
// own; Hook sees each line after it was written down (from the thread of the event).
class EventLog : public FleetObserver {
public:
    std::function<void(const std::string& line)> Hook;

    std::vector<std::string> Lines() const;
    // The lines of one device, without its index.
    std::vector<std::string> Of(int device) const;
    // How many lines start with text.
    size_t Count(const std::string& text) const;
    SummaryEvent Summary() const;
    // How many progress events came between pages (not after a page).
    size_t BetweenPages() const;

    void OnConnecting(const ConnectingEvent& e) override;
    void OnConnected(const ConnectedEvent& e) override;
    void OnIdentified(const IdentifiedEvent& e) override;
    void OnPlan(const PlanEvent& e) override;
    void OnWaiting(const WaitingEvent& e) override;
    void OnStarted(const StartedEvent& e) override;
    void OnProgress(const ProgressEvent& e) override;
    void OnMessage(const MessageEvent& e) override;
    void OnRetry(const RetryEvent& e) override;
    void OnRefused(const RefusedEvent& e) override;
    void OnDone(const DoneEvent& e) override;
    void OnInterrupted(const InterruptedEvent& e) override;
    void OnSummary(const SummaryEvent& e) override;
    void OnReportProblem(const ReportProblemEvent& e) override;
    void OnConfigRefused(const ConfigRefusedEvent& e) override;
    void OnWave(const WaveEvent& e) override;
    void OnHold(const HoldEvent& e) override;
    void OnFound(const FoundEvent& e) override;
    void OnUnidentified(const UnidentifiedEvent& e) override;
    void OnScanSummary(const ScanSummaryEvent& e) override;

private:
    void Add(const std::string& line);
    void Add(const DeviceEvent& e, const std::string& text);

    mutable std::mutex Lock;
    std::vector<std::string> All;
    SummaryEvent Last;
    std::map<int, int64_t> Written; // each device's pages written in its current attempt, as told
    size_t BetweenPagesTold = 0;
};
