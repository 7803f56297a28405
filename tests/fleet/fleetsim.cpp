// Simulated devices in the test's process and the event log of the fleet tests.
#include "tests/fleet/fleetsim.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "base/platform.h"
#include "tests/support/waituntil.h"

LoopbackSim::LoopbackSim(SimOptions options, uint16_t port) : Server(std::move(options)) {
    static std::atomic<int> count{0};
    OutPath = (std::filesystem::temp_directory_path() /
               ("fleetsim." + std::to_string(ProcessId()) + "." + std::to_string(++count) + ".jsonl"))
                  .string();
    Out = std::fopen(OutPath.c_str(), "wb");
    if (port != 0)
        Server.UsePort(port);
    if (Out != nullptr && !Server.Bind())
        Thread = std::thread([this] { Server.Run(Out); });
}

LoopbackSim::~LoopbackSim() {
    Sessions();
    if (Out != nullptr)
        std::fclose(Out);
    std::error_code ec;
    std::filesystem::remove(OutPath, ec);
}

std::vector<nlohmann::json> LoopbackSim::Reports() const {
    std::ifstream in(OutPath, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // Whole lines only: the server may be writing the next one.
    std::vector<nlohmann::json> reports;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        reports.push_back(nlohmann::json::parse(text.substr(at, end - at), nullptr, false));
    return reports;
}

std::vector<nlohmann::json> LoopbackSim::Sessions(size_t ended) {
    if (Thread.joinable()) {
        // A session ends when the device has read what the tool sent and the tool has closed.
        WaitUntil([&] { return Reports().size() >= ended; });
        Server.Stop();
        Thread.join();
    }
    return Reports();
}

void UnderWatchdog(const std::function<void()>& body, std::chrono::seconds limit) {
    std::atomic<bool> ended{false};
    std::thread run([&] {
        body();
        ended = true;
    });
    if (!WaitUntil([&] { return ended.load(); }, limit)) {
        std::fprintf(stderr, "%s: no end within %lld s: a deadlock\n",
                     testing::UnitTest::GetInstance()->current_test_info()->name(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
    }
    run.join();
}

SimOptions SimAt(const std::string& address) {
    SimOptions o;
    o.Address = address;
    o.Port = 0;
    o.ReconnectPort.reset();
    return o;
}

std::vector<std::string> EventLog::Lines() const {
    std::lock_guard hold(Lock);
    return All;
}

std::vector<std::string> EventLog::Of(int device) const {
    const std::string prefix = std::to_string(device) + " ";
    std::vector<std::string> lines;
    for (const std::string& line : Lines())
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line.substr(prefix.size()));
    return lines;
}

size_t EventLog::Count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : Lines())
        n += line.rfind(text, 0) == 0 ? 1 : 0;
    return n;
}

size_t EventLog::BetweenPages() const {
    std::lock_guard hold(Lock);
    return BetweenPagesTold;
}

SummaryEvent EventLog::Summary() const {
    std::lock_guard hold(Lock);
    return Last;
}

void EventLog::Add(const std::string& line) {
    {
        std::lock_guard hold(Lock);
        All.push_back(line);
    }
    if (Hook)
        Hook(line);
}

void EventLog::Add(const DeviceEvent& e, const std::string& text) {
    Add(std::to_string(e.Device.Index) + " " + text);
}

void EventLog::OnConnecting(const ConnectingEvent& e) {
    Add(e, "connecting " + std::to_string(e.Attempt));
}
void EventLog::OnConnected(const ConnectedEvent& e) {
    Add(e, "connected");
}
void EventLog::OnIdentified(const IdentifiedEvent& e) {
    Add(e, "identified serial " + (e.Identity.Serial ? std::to_string(*e.Identity.Serial) : "-"));
}
void EventLog::OnPlan(const PlanEvent& e) {
    Add(e, "plan " + std::to_string(e.Pages) + " pages in " + std::to_string(e.PageRuns.size()) + " runs");
}
void EventLog::OnWaiting(const WaitingEvent& e) {
    Add(e, "waiting " + std::to_string(e.Jobs));
}
void EventLog::OnStarted(const StartedEvent& e) {
    {
        std::lock_guard hold(Lock);
        Written[e.Device.Index] = 0;
    }
    Add(e, "started " + std::to_string(e.Pages));
}
void EventLog::OnProgress(const ProgressEvent& e) {
    {
        // A device's progress never goes back within an attempt.
        std::lock_guard hold(Lock);
        int64_t& before = Written[e.Device.Index];
        EXPECT_GE(e.Written, before) << "device " << e.Device.Index << ": progress went back";
        before = e.Written;
        BetweenPagesTold += e.NewPage ? 0 : 1;
    }
    if (e.NewPage)
        Add(e, "page " + std::to_string(e.Written) + "/" + std::to_string(e.Pages));
}
void EventLog::OnMessage(const MessageEvent& e) {
    Add(e, "message " + e.Text);
}
void EventLog::OnRetry(const RetryEvent& e) {
    Add(e, "retry " + std::to_string(e.Attempt) + " of " + std::to_string(e.Attempts) + " " + e.Reason + " " +
               std::to_string(e.Pause.count()) + " ms");
}
void EventLog::OnRefused(const RefusedEvent& e) {
    Add(e, "refused " + e.Reason);
}
void EventLog::OnDone(const DoneEvent& e) {
    Add(e, "done " + e.Result + " " + std::to_string(e.Code) + ": " + e.Detail);
}
void EventLog::OnInterrupted(const InterruptedEvent& e) {
    Add("interrupted " + std::to_string(e.Reason.Signal));
}
void EventLog::OnSummary(const SummaryEvent& e) {
    {
        std::lock_guard hold(Lock);
        Last = e;
    }
    Add("summary " + std::to_string(e.Code));
}
void EventLog::OnReportProblem(const ReportProblemEvent& e) {
    Add("report problem " + e.Error);
}
void EventLog::OnFound(const FoundEvent& e) {
    Add("found " + e.Device.Label);
}
void EventLog::OnConfigRefused(const ConfigRefusedEvent& e) {
    std::string devices;
    for (const int i : e.Devices)
        devices += (devices.empty() ? "" : ",") + std::to_string(i);
    Add("config refused " + e.Result + " " + std::to_string(e.Code) + " devices " + devices + ": " +
        e.Detail);
}
namespace {
std::string IndexList(const std::vector<FleetDevice>& devices) {
    std::string text;
    for (const FleetDevice& d : devices)
        text += (text.empty() ? "" : ",") + std::to_string(d.Index);
    return text;
}
} // namespace
void EventLog::OnWave(const WaveEvent& e) {
    Add("wave " + std::to_string(e.Wave) + " of " + std::to_string(e.Waves) + " devices " + IndexList(e.Devices));
}
void EventLog::OnHold(const HoldEvent& e) {
    Add("hold " + std::to_string(e.Failed) + " failed, devices " + IndexList(e.Held) + ": " + e.Detail);
}
void EventLog::OnUnidentified(const UnidentifiedEvent& e) {
    Add("unidentified " + e.Device.Label + ": " + e.Detail);
}
void EventLog::OnScanSummary(const ScanSummaryEvent& e) {
    Add("scan summary " + std::to_string(e.Scanned) + " scanned " + std::to_string(e.Found) + " found " +
        std::to_string(e.Unidentified) + " unidentified " + std::to_string(e.Refused) + " refused " +
        std::to_string(e.Code) +
        (e.Unfinished > 0 ? " (" + std::to_string(e.Unfinished) + " unfinished)" : ""));
}
