// The fleet engine against simulated devices in this process, paced by a clock that does not sleep: every
// device ends once with its last event, the report follows the devices, refusals are not tried again and a
// lost link is, and a stop at any moment ends every device in order before the summary.
#include "fleet/fleetrun.h"

#include "base/platform.h"

#include "tests/fleet/fleetsim.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/update/testdevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Fleet engine tests own 127.0.0.140 - 127.0.0.179, always with ephemeral ports.
std::string Addr(int last) {
    return "127.0.0." + std::to_string(last);
}

DeviceTarget Target(const std::string& device) {
    DeviceTarget t;
    std::string error;
    EXPECT_TRUE(ParseDeviceTarget(device, true, t, error)) << error;
    return t;
}

nlohmann::json ReadJson(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return nlohmann::json::parse(s.str(), nullptr, false);
}

// A run's parts: a configuration of a 700-byte image (three pages), its settings paced by a clock of its
// own, and the event log.
class FleetTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = DemoImage(700, 9);
        ConfigFields f;
        f.Filename = "fw.bin";
        ASSERT_TRUE(WriteRelease(dir / "fw.bin", image, f, dir / "fw.cfg"));
        settings.Config = dir / "fw.cfg";
        settings.Clock = &clock;
        settings.ReportPath = dir / "run.json";
        settings.Timeout = 10s;
    }
    nlohmann::json Report() {
        return ReadJson(settings.ReportPath).value("devices", nlohmann::json::array());
    }

    TestFolder dir{"fleet_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name())};
    std::vector<uint8_t> image;
    FakeClock clock;
    RunSettings settings;
    EventLog log;
};

TEST_F(FleetTest, EveryDeviceEndsOnceAndOnlyTheLostLinkIsTriedAgain) {
    SimOptions refusing = SimAt(Addr(141));
    refusing.Identity.Kennung = 11;
    // Hangs up on the first connection only.
    SimOptions dropping = SimAt(Addr(142));
    dropping.HangUp = true;
    dropping.FaultSessions = 1;
    LoopbackSim ok(SimAt(Addr(140))), refused(refusing), dropped(dropping);
    ASSERT_TRUE(ok.Listening() && refused.Listening() && dropped.Listening());
    settings.Retries = 2;
    settings.Jobs = 1;
    FleetRun run({Target(ok.Device()), Target(refused.Device()), Target(dropped.Device())}, settings, log);
    ASSERT_TRUE(RunToEnd(run));

    const std::vector<std::string> first = log.Of(0);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.front(), "connecting 1");
    EXPECT_EQ(first.back(), "done ok 0: updated, 3 of 3 pages written");
    EXPECT_NE(std::find(first.begin(), first.end(), "page 3/3"), first.end());
    EXPECT_EQ(log.Of(1).back(),
              "done oem-rule 5: refused by the OEM rule: the device reports OEM id 11, this tool "
              "updates OEM id 19 (--admin lifts the rule)");
    EXPECT_EQ(log.Count("1 refused oem-rule"), 1u);
    EXPECT_EQ(log.Count("1 started"), 0u) << "a refused device waits for no turn and is not written to";
    EXPECT_EQ(log.Count("2 retry 2 of 3 no-connection 1000 ms"), 1u);
    EXPECT_EQ(log.Of(2).back(), "done ok 0: updated, 3 of 3 pages written");
    EXPECT_EQ(log.Count("summary"), 1u);
    EXPECT_EQ(log.Lines().back(), "summary 5");
    const SummaryEvent summary = log.Summary();
    EXPECT_EQ(summary.Results, (std::map<std::string, int>{{"ok", 2}, {"oem-rule", 1}}));
    EXPECT_EQ(summary.Ok, 2);

    const nlohmann::json records = Report();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].value("attempts", 0), 2);
    EXPECT_EQ(records[2].value("result", ""), "ok");
    EXPECT_EQ(records[1].value("kennung", 0), 11);
    const std::vector<nlohmann::json> sessions = dropped.Sessions(2);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1].value("pages", 0), 3);
    EXPECT_EQ(sessions[1].value("checksum", 0), ImageChecksum(image.data(), image.size()));
    EXPECT_TRUE(sessions[1].value("updateEnded", false));
    EXPECT_EQ(refused.Sessions(1).at(0).value("writes", -1), 0);
}

TEST_F(FleetTest, AnErrorReplyToTheSamePageTwiceEndsTheRetries) {
    SimOptions failing = SimAt(Addr(149));
    failing.ModelFaults.ErrorOnPage = 0;
    LoopbackSim device(failing);
    // In real time, so that the device's error reply comes while its update still runs.
    settings.Clock = nullptr;
    settings.Retries = 5;
    FleetRun run({Target(device.Device())}, settings, log);
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Count("0 retry"), 1u);
    const std::string done = log.Of(0).back();
    EXPECT_EQ(done.rfind("done failed 9: update failed: ", 0), 0u) << done;
    const std::string why =
        "; not tried again: attempt 2 failed exactly as attempt 1 did (error reply to page 1)";
    EXPECT_EQ(done.substr(done.size() - std::min(done.size(), why.size())), why) << done;
    EXPECT_EQ(Report()[0].value("attempts", 0), 2);
    EXPECT_EQ(device.Sessions(2).size(), 2u);
}

TEST_F(FleetTest, AMissingImageRefusesEveryDeviceOfItsConfigurationBeforeConnecting) {
    ConfigFields f;
    f.Filename = "missing.bin";
    ASSERT_TRUE(WriteRelease(dir / "other.bin", image, f, dir / "missing.cfg"));
    LoopbackSim first(SimAt(Addr(150))), second(SimAt(Addr(151))), good(SimAt(Addr(152)));
    settings.Config = dir / "missing.cfg";
    FleetRun run(
        {Target(first.Device()), Target(second.Device()), Target(good.Device() + "=" + dir / "fw.cfg")},
        settings, log);
    ASSERT_TRUE(RunToEnd(run));
    // Named with the platform's separator, as the configuration's folder is.
    const std::string missing = PathToUtf8(PathFromUtf8(dir / "missing.bin").make_preferred());
    const std::vector<std::string> refused{"message binary - File not found", "refused image-not-found",
                                           "done image-not-found 7: image not found: " + missing};
    EXPECT_EQ(log.Lines().front(),
              "config refused image-not-found 7 devices 0,1: image not found: " + missing);
    EXPECT_EQ(log.Count("config refused"), 1u);
    EXPECT_EQ(log.Of(0), refused);
    EXPECT_EQ(log.Of(1), refused);
    EXPECT_EQ(log.Of(2).back(), "done ok 0: updated, 3 of 3 pages written");
    EXPECT_EQ(run.Code(), 7);
    EXPECT_TRUE(first.Sessions().empty());
    EXPECT_TRUE(second.Sessions().empty());
    EXPECT_EQ(Report()[1].value("result", ""), "image-not-found");
}

TEST_F(FleetTest, IdentifyTellsWhoAnsweredAndWhyTheOthersDidNot) {
    SimOptions silent = SimAt(Addr(144));
    silent.Silent = true;
    LoopbackSim answering(SimAt(Addr(143))), quiet(silent);
    settings.Task = FleetTask::Identify;
    settings.Timeout = 3s;
    FleetRun run({Target(answering.Device()), Target(quiet.Device())}, settings, log);
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Of(0), (std::vector<std::string>{"connecting 1", "connected", "identified serial 12345678",
                                                   "done ok 0: ONLINE"}));
    EXPECT_EQ(log.Of(1).back(), "done no-connection 4: no answer from " + quiet.Device() + " within 3.0 s");
    EXPECT_EQ(run.Code(), 4);
    const nlohmann::json records = Report();
    EXPECT_EQ(records[0].value("deviceName", ""), "Q7 Demo");
    EXPECT_TRUE(records[1].at("serial").is_null());
}

TEST_F(FleetTest, ADryRunPlansAndWritesNothing) {
    LoopbackSim device(SimAt(Addr(145)));
    settings.DryRun = true;
    FleetRun run({Target(device.Device())}, settings, log);
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Count("0 plan 3 pages in 1 runs"), 1u);
    EXPECT_EQ(log.Of(0).back(), "done dry-run 0: dry run OK, nothing written");
    EXPECT_EQ(device.Sessions(1).at(0).value("writes", -1), 0);
}

TEST_F(FleetTest, AStopEndsTheRetryPauseAtOnce) {
    SimOptions refusing = SimAt(Addr(146));
    refusing.Refuse = true;
    LoopbackSim device(refusing);
    settings.Retries = 3;
    FleetRun run({Target(device.Device())}, settings, log);
    log.Hook = [&](const std::string& line) {
        if (line.rfind("0 retry", 0) == 0)
            run.Stop({kExitInterrupted, 2});
    };
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Of(0).back(),
              "done interrupted 130: interrupted before attempt 2; attempt 1: cannot connect to " +
                  device.Device() + ": refused (nothing accepts connections on that port)");
    EXPECT_EQ(Report()[0].value("attempts", 0), 1);
}

// ---- a stop at every moment of an update, for each stop signal ----

enum class Moment { BeforeConnecting, DuringIdentification, MidPages, AfterTheLastPage, DuringTheUpdateEnd };

struct MomentCase {
    const char* label;
    Moment moment;
    int pagesReceived; // -1: the device was never connected
    bool imageEnded;
    const char* detail; // how the device's end begins
};

const MomentCase kMoments[] = {
    {"BeforeConnecting", Moment::BeforeConnecting, -1, false,
     "interrupted before the update began; nothing was written"},
    {"DuringIdentification", Moment::DuringIdentification, 0, false,
     "interrupted before the update began; nothing was written"},
    {"MidPages", Moment::MidPages, 2, false, "interrupted: 2 of 3 pages sent, "},
    {"AfterTheLastPage", Moment::AfterTheLastPage, 3, false, "interrupted: 3 of 3 pages sent, "},
    {"DuringTheUpdateEnd", Moment::DuringTheUpdateEnd, 3, true, "interrupted: 3 of 3 pages sent, "},
};

class FleetStop : public FleetTest, public testing::WithParamInterface<std::tuple<MomentCase, int>> {};

TEST_P(FleetStop, EndsTheDeviceInOrderBeforeTheSummaryAndTheReport) {
    const auto& [c, signal] = GetParam();
    const StopReason reason{128 + signal, signal};
    LoopbackSim device(SimAt(Addr(147)));
    FleetRun run({Target(device.Device())}, settings, log);
    // The pauses of the sequence mark the moments: the second page's, the last page's, the one before the
    // update end.
    std::atomic<int> pagePauses{0};
    clock.OnSleep = [&](size_t, int64_t ms) {
        const int pages = ms == 50 ? ++pagePauses : pagePauses.load();
        if ((c.moment == Moment::MidPages && ms == 50 && pages == 2) ||
            (c.moment == Moment::AfterTheLastPage && ms == 50 && pages == 3) ||
            (c.moment == Moment::DuringTheUpdateEnd && ms == 500))
            run.Stop(reason);
    };
    log.Hook = [&](const std::string& line) {
        if (c.moment == Moment::DuringIdentification && line == "0 connected")
            run.Stop(reason);
    };
    if (c.moment == Moment::BeforeConnecting)
        run.Stop(reason);
    ASSERT_TRUE(RunToEnd(run));

    const std::vector<std::string> lines = log.Lines();
    const auto interrupted = std::find(lines.begin(), lines.end(), "interrupted " + std::to_string(signal));
    const auto done =
        std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("0 done", 0) == 0; });
    ASSERT_NE(done, lines.end());
    EXPECT_LT(interrupted, done) << "the interruption is told before the end it causes";
    EXPECT_EQ(done->rfind("0 done interrupted " + std::to_string(reason.Code) + ": " + c.detail, 0), 0u)
        << *done;
    EXPECT_EQ(log.Count("0 done"), 1u);
    EXPECT_EQ(log.Count("0 message Firmwareupdate OK"), 0u);
    EXPECT_EQ(lines.back(), "summary " + std::to_string(reason.Code));
    const nlohmann::json record = Report().at(0);
    EXPECT_EQ(record.value("result", ""), "interrupted");
    EXPECT_EQ(record.value("code", 0), reason.Code);

    const std::vector<nlohmann::json> sessions = device.Sessions(c.pagesReceived > 0 ? 1 : 0);
    if (c.pagesReceived < 0) {
        EXPECT_TRUE(sessions.empty());
        return;
    }
    // A connection closed at once may end before the device took it: it received nothing then either.
    ASSERT_EQ(sessions.size(), c.pagesReceived == 0 ? sessions.size() : 1u);
    for (const nlohmann::json& session : sessions) {
        EXPECT_EQ(session.value("pages", -1), c.pagesReceived);
        EXPECT_EQ(session.value("imageEnded", true), c.imageEnded);
        EXPECT_FALSE(session.value("updateEnded", true));
        if (c.pagesReceived == 0) {
            EXPECT_EQ(session.value("writes", -1), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, FleetStop,
                         testing::Combine(testing::ValuesIn(kMoments), testing::Values(1, 2, 15)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "Signal" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_F(FleetTest, EndingAtOnceTellsEveryDevicesEndTheSummaryAndTheReportFirst) {
    LoopbackSim device(SimAt(Addr(148)));
    FleetRun run({Target(device.Device())}, settings, log);
    std::atomic<int> code{-1};
    // The second stop signal while the first one's stop is on its way: the device is mid-pages.
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms == 50 && code.load() < 0)
            code = run.EndNow({kExitTerminated, 15});
    };
    ASSERT_TRUE(RunToEnd(run));
    // The run ends as soon as the devices are ended, before EndNow has returned to its caller.
    EXPECT_TRUE(WaitUntil([&] { return code.load() >= 0; }));
    EXPECT_EQ(code.load(), kExitTerminated);
    EXPECT_EQ(log.Count("0 done interrupted 143: interrupted: the tool quit with 1 of 3 pages sent"), 1u)
        << testing::PrintToString(log.Lines());
    EXPECT_EQ(log.Count("summary"), 1u);
    EXPECT_EQ(Report().at(0).value("result", ""), "interrupted");
}

} // namespace
