// The fleet engine against simulated devices in this process, paced by a clock that does not sleep: every
// device ends once with its last event, the report follows the devices, refusals are not tried again and a
// lost link is, and a stop at any moment ends every device in order before the summary.
#include "fleet/fleetrun.h"

#include "base/platform.h"

#include "tests/fleet/fleetsim.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/waituntil.h"
#include "tests/update/testdevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
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

// A report row's flash, "null" when it has none.
std::string FlashOf(const nlohmann::json& row) {
    const nlohmann::json flash = row.value("flash", nlohmann::json());
    return flash.is_string() ? flash.get<std::string>() : "null";
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
    std::string flashAtErase = "no erase";
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms == 4000) // the erase was sent: the report says so already
            flashAtErase = FlashOf(Report().at(0)) + " " + Report().at(0).value("result", "");
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
    const bool erased = c.pagesReceived > 0;
    EXPECT_EQ(FlashOf(record), erased ? "incomplete" : "untouched");
    EXPECT_EQ(flashAtErase, erased ? "incomplete pending" : "no erase");

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

TEST_F(FleetTest, ARedoneDeviceIsIncompleteInTheReportFromTheRunsStart) {
    SimOptions silent = SimAt(Addr(153));
    silent.Silent = true;
    LoopbackSim device(silent);
    const DeviceTarget target = Target(device.Device());
    settings.IncompleteBefore = {DeviceKey(target)};
    FleetRun run({target}, settings, log);
    std::string flashWhileConnected;
    log.Hook = [&](const std::string& line) {
        if (line != "0 connected")
            return;
        flashWhileConnected = FlashOf(Report().at(0));
        run.Stop({kExitInterrupted, 2});
    };
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(flashWhileConnected, "incomplete");
    EXPECT_EQ(FlashOf(Report().at(0)), "incomplete");
}

TEST_F(FleetTest, ADeviceTheRunEndsKeepsItsRecordAndTheFinalReportIsTheLastWrite) {
    LoopbackSim first(SimAt(Addr(154))), second(SimAt(Addr(155)));
    settings.Jobs = 1;
    FleetRun run({Target(first.Device()), Target(second.Device())}, settings, log);
    std::atomic<bool> ended{false};
    // At the first page of the device whose turn came first, while the other one waits for its turn.
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms != 50 || ended.exchange(true))
            return;
        ASSERT_TRUE(WaitUntil([&] { return log.Count("0 waiting") + log.Count("1 waiting") == 1; }));
        // Not a synchronisation: the wait lasts some milliseconds, so that it counts in the record.
        const auto seen = std::chrono::steady_clock::now();
        WaitUntil([&] { return std::chrono::steady_clock::now() - seen > 5ms; });
        run.EndNow({kExitTerminated, 15});
    };
    ASSERT_TRUE(RunToEnd(run));
    // Both devices have closed their connections: what their threads did after the end is done.
    first.Sessions(1);
    second.Sessions(1);
    const SummaryEvent summary = log.Summary();
    ASSERT_EQ(summary.Records.size(), 2u);
    const int waiting = log.Count("1 waiting") == 1 ? 1 : 0;
    EXPECT_GT(summary.Records[waiting].Waited.count(), 0) << "the wait until the end is counted";
    EXPECT_EQ(ReportJson(run.Records()), ReportJson(summary.Records));
    EXPECT_EQ(Report(), nlohmann::json::parse(ReportJson(summary.Records)).at("devices"));
    for (const DeviceRecord& r : summary.Records)
        EXPECT_EQ(r.AttemptLog.size(), static_cast<size_t>(r.Attempts)) << r.Address;
}

TEST_F(FleetTest, AnObserverMayStopTheRunFromEveryCallback) {
    ConfigFields f;
    f.Filename = "missing.bin";
    ASSERT_TRUE(WriteRelease(dir / "other.bin", image, f, dir / "missing.cfg"));
    SimOptions refusing = SimAt(Addr(157));
    refusing.Identity.Kennung = 11;
    LoopbackSim ok(SimAt(Addr(156))), oem(refusing);
    FleetRun run({Target(ok.Device()), Target(oem.Device()), Target(Addr(158) + ":1=" + dir / "missing.cfg")},
                 settings, log);
    std::once_flag inTheWay;
    log.Hook = [&](const std::string&) {
        // A folder takes the report's place: every write from then on fails, the final one too, and is told.
        std::call_once(inTheWay, [&] {
            std::error_code ec;
            std::filesystem::remove(settings.ReportPath, ec);
            std::filesystem::create_directories(settings.ReportPath + "/in the way", ec);
        });
        run.Stop({kExitInterrupted, 2});
        run.Records();
    };
    UnderWatchdog([&] { ASSERT_TRUE(RunToEnd(run)); });
    EXPECT_EQ(log.Count("interrupted"), 1u);
    EXPECT_GE(log.Count("report problem cannot write " + settings.ReportPath), 1u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(log.Count(std::to_string(i) + " done"), 1u) << i;
    EXPECT_EQ(log.Lines().back(), "summary 130");
}

TEST_F(FleetTest, ProgressBetweenPagesNeverGoesBack) {
    LoopbackSim device(SimAt(Addr(159)));
    settings.ProgressBetweenPages = true;
    FleetRun run({Target(device.Device())}, settings, log);
    // Each page's pause lasts until progress between pages has come, so that the progress of the device's
    // own thread and the pages of its update worker interleave (EventLog checks that none goes back).
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms != 50)
            return;
        const size_t before = log.BetweenPages();
        EXPECT_TRUE(WaitUntil([&] { return log.BetweenPages() > before; }));
    };
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Of(0).back(), "done ok 0: updated, 3 of 3 pages written");
    EXPECT_GE(log.BetweenPages(), 3u);
}

} // namespace

namespace {

// Rollouts: four devices (127.0.0.160 on), the faulty ones answering their last page with an error.
struct RolloutCase {
    const char* title;
    const char* waves;     // "": none
    const char* maxFailed; // "": none
    std::vector<bool> faulty;
    bool realTime; // the devices programmed at once overlap in time, as a fake clock cannot make them
    std::vector<std::string> results;
    int code;
    std::vector<std::string> waveLines;
    const char* hold; // the hold event's start, or "" for none
};
void PrintTo(const RolloutCase& c, std::ostream* os) {
    *os << c.title;
}

class FleetRollout : public FleetTest, public testing::WithParamInterface<RolloutCase> {};

TEST_P(FleetRollout, WavesBeginInTurnAndTheThresholdHoldsOnlyDevicesNotBegun) {
    const RolloutCase& c = GetParam();
    std::vector<std::unique_ptr<LoopbackSim>> sims;
    std::vector<DeviceTarget> targets;
    for (size_t i = 0; i < c.faulty.size(); ++i) {
        SimOptions o = SimAt(Addr(160 + static_cast<int>(i)));
        if (c.faulty[i])
            o.ModelFaults.ErrorOnPage = 2;
        sims.push_back(std::make_unique<LoopbackSim>(o));
        targets.push_back(Target(sims.back()->Device()));
    }
    std::string error;
    if (*c.waves != '\0')
        settings.Waves = ParseWaves(c.waves, error);
    if (*c.maxFailed != '\0')
        settings.MaxFailed = ParseFailureLimit(c.maxFailed, error);
    if (c.realTime)
        settings.Clock = nullptr;
    FleetRun run(targets, settings, log);
    ASSERT_TRUE(RunToEnd(run));

    std::vector<std::string> waveLines;
    for (const std::string& line : log.Lines())
        if (line.rfind("wave ", 0) == 0)
            waveLines.push_back(line);
    EXPECT_EQ(waveLines, c.waveLines);
    EXPECT_EQ(log.Count("hold " + std::string(c.hold)), *c.hold == '\0' ? 0u : 1u);
    EXPECT_EQ(run.Code(), c.code);
    const nlohmann::json report = ReadJson(settings.ReportPath);
    EXPECT_EQ(report["run"].value("waves", nlohmann::json()), *c.waves ? nlohmann::json(c.waves) : nlohmann::json());
    const nlohmann::json rows = report["devices"];
    for (size_t i = 0; i < c.results.size(); ++i) {
        EXPECT_EQ(rows[i].value("result", ""), c.results[i]) << i;
        if (c.results[i] != "held")
            continue;
        EXPECT_EQ(rows[i].value("code", 0), 10);
        EXPECT_EQ(FlashOf(rows[i]), "untouched");
        EXPECT_EQ(rows[i].value("detail", "").rfind("held: ", 0), 0u);
        for (const nlohmann::json& session : sims[i]->Sessions())
            EXPECT_EQ(session.value("writes", -1), 0) << "a held device is never written to";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FleetRollout,
    testing::Values(
        RolloutCase{"AFailingCanaryHoldsTheRest", "1,50%,100%", "", {true, false, false, false}, false,
                    {"failed", "held", "held", "held"}, 10, {"wave 1 of 3 devices 0"},
                    "1 failed, devices 1,2,3: held: wave 1 ended with 1 failed device"},
        RolloutCase{"ALimitLetsTheWavesGoOn", "1,50%,100%", "1", {true, false, false, false}, false,
                    {"failed", "ok", "ok", "ok"}, 9,
                    {"wave 1 of 3 devices 0", "wave 2 of 3 devices 1", "wave 3 of 3 devices 2,3"}, ""},
        RolloutCase{"DevicesBeingProgrammedFinish", "3,100%", "0", {true, false, false, false}, true,
                    {"failed", "ok", "ok", "held"}, 10, {"wave 1 of 2 devices 0,1,2"},
                    "1 failed, devices 3: held: 1 device failed"},
        RolloutCase{"NoRolloutAsBefore", "", "", {true, false, false}, false, {"failed", "ok", "ok"}, 9, {}, ""}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(FleetTest, AStopInAWavesGapEndsTheNextWaveUntouched) {
    LoopbackSim first(SimAt(Addr(165))), second(SimAt(Addr(166)));
    settings.Waves = {{1, false}, {100, true}};
    FleetRun run({Target(first.Device()), Target(second.Device())}, settings, log);
    log.Hook = [&](const std::string& line) {
        if (line.rfind("0 done", 0) == 0)
            run.Stop({130, 2});
    };
    ASSERT_TRUE(RunToEnd(run));
    EXPECT_EQ(log.Of(1), std::vector<std::string>{
                             "done interrupted 130: interrupted before the update began; nothing was written"});
    EXPECT_TRUE(second.Sessions().empty());
    EXPECT_EQ(Report()[1].value("wave", 0), 2);
}

// Configurations by the version a device reports: 1.4 and 2.0 have theirs, 3.0 has none.
struct VersionCase {
    const char* title;
    bool withDefault;        // the run's own configuration, for versions without one
    const char* onlyVersion; // "": every version
    std::vector<std::string> results;
};
void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << c.title;
}

class FleetVersions : public FleetTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(FleetVersions, EachDeviceTakesTheConfigurationOfItsVersion) {
    const VersionCase& c = GetParam();
    const std::vector<uint8_t> second = DemoImage(900, 11);
    ConfigFields f;
    f.Filename = "fw2.bin";
    ASSERT_TRUE(WriteRelease(dir / "fw2.bin", second, f, dir / "fw2.cfg"));
    std::vector<std::unique_ptr<LoopbackSim>> sims;
    std::vector<DeviceTarget> targets;
    for (int i = 0; i < 3; ++i) {
        SimOptions o = SimAt(Addr(170 + i));
        o.Identity.VersionHigh = static_cast<uint16_t>(i + 1);
        o.Identity.VersionLow = i == 0 ? 4 : 0;
        sims.push_back(std::make_unique<LoopbackSim>(o));
        targets.push_back(Target(sims.back()->Device()));
    }
    settings.ConfigFor = {{"HWV=1.4", dir / "fw.cfg"}, {"HWV=2.0", dir / "fw2.cfg"}};
    settings.Config = c.withDefault ? dir / "fw2.cfg" : "";
    settings.OnlyVersion = c.onlyVersion;
    FleetRun run(targets, settings, log);
    ASSERT_TRUE(RunToEnd(run));
    const nlohmann::json rows = Report();
    const std::vector<int32_t> checksums{ImageChecksum(image.data(), image.size()),
                                         ImageChecksum(second.data(), second.size()),
                                         ImageChecksum(second.data(), second.size())};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i].value("result", ""), c.results[i]) << i;
        const std::vector<nlohmann::json> sessions = sims[i]->Sessions(1);
        ASSERT_EQ(sessions.size(), 1u);
        if (c.results[i] == "ok") {
            EXPECT_EQ(sessions[0].value("checksum", 0), checksums[i]) << i;
        } else {
            EXPECT_EQ(rows[i].value("code", -1), 0);
            EXPECT_EQ(FlashOf(rows[i]), "untouched");
            EXPECT_EQ(sessions[0].value("writes", -1), 0) << "a skipped device is never written to";
        }
    }
    EXPECT_EQ(run.Code(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FleetVersions,
    testing::Values(VersionCase{"AVersionWithoutAConfigurationIsSkipped", false, "", {"ok", "ok", "skipped"}},
                    VersionCase{"TheRunsConfigurationForTheOthers", true, "", {"ok", "ok", "ok"}},
                    VersionCase{"OnlyOneVersion", false, "HWV=2.0", {"skipped", "ok", "skipped"}}),
    [](const auto& info) { return std::string(info.param.title); });

} // namespace
