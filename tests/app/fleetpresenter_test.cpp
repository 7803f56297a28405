// The window of many devices through its presenter, with a recording view and simulated devices in this
// process on 127.0.0.200-219: scan answers in any order become one row each, one selection (by state, by
// version, shift-click, kept during an update), the update of the selection with refusals, retries and
// failures, a stop, results kept across a rescan until the device is updated again, the kept summary, the
// details of a device, the reports with the run's facts, and the settings.
#include "app/fleetpresenter.h"

#include "base/buildinfo.h"
#include "base/platform.h"

#include "tests/app/recordingfleetview.h"
#include "tests/fleet/fleetsim.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/update/testdevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string Addr(int last) {
    return "127.0.0." + std::to_string(last);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct RangeCase {
    std::vector<SockNetwork> networks;
    std::vector<std::string> ranges;
};

TEST(FleetRanges, OffersTheComputersNetworksAsScanRanges) {
    const uint32_t lan = 0xC0A80A37;  // 192.168.10.55
    const uint32_t wide = 0x0A010203; // 10.1.2.3
    const RangeCase cases[] = {
        {{}, {}},
        {{{0x7F000001, 8}}, {}},
        {{{lan, 24}}, {"192.168.10.0/24"}},
        {{{lan, 24}, {lan + 1, 24}}, {"192.168.10.0/24"}},
        {{{wide, 8}}, {"10.1.2.0/24"}},
        {{{0xAC100005, 20}, {lan, 32}}, {"172.16.0.0/20", "192.168.10.55/32"}},
    };
    for (const RangeCase& c : cases)
        EXPECT_EQ(DefaultScanRanges(c.networks), c.ranges);
}

class FleetPresenterTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = DemoImage(700, 9);
        ConfigFields f;
        f.Filename = "fw.bin";
        ASSERT_TRUE(WriteRelease(dir / "fw.bin", image, f, dir / "fw.cfg"));
        options.AutoReportPath = dir / "last-run.json";
        options.Timeout = 10s;
        options.Clock = &clock;
        presenter = std::make_unique<FleetPresenter>(view, options);
    }
    void TearDown() override { presenter.reset(); }

    FoundEvent Found(int last, const std::string& version, int serial) {
        FoundEvent e;
        e.Device.Host = Addr(last);
        e.Device.Label = Addr(last) + ":2000";
        e.Identity.Version = version;
        e.Identity.Serial = serial;
        e.Identity.Kennung = 19;
        return e;
    }
    bool Idle() {
        return view.WaitFor([&] { return !presenter->Busy() && !view.busy; });
    }
    // Adds a device and waits until it was asked who it is.
    void Add(const std::string& device) {
        presenter->OnAdd(device);
        ASSERT_TRUE(Idle());
    }

    TestFolder dir{"fleetpresenter_" +
                   std::string(testing::UnitTest::GetInstance()->current_test_info()->name())};
    std::vector<uint8_t> image;
    FakeClock clock;
    FleetOptions options;
    RecordingFleetView view;
    std::unique_ptr<FleetPresenter> presenter;
};

TEST_F(FleetPresenterTest, ScanAnswersInAnyOrderAreOneRowEachDrawnInOneBatch) {
    const size_t callsBefore = view.setRowsCalls;
    // From several threads at once, out of address order, one device twice.
    std::vector<std::thread> threads;
    for (const int last : {10, 9, 2, 10})
        threads.emplace_back([&, last] { presenter->Events().OnFound(Found(last, "HWV=1.4", last)); });
    for (std::thread& t : threads)
        t.join();
    ASSERT_TRUE(view.WaitFor([&] { return view.rows.size() == 3; }));
    EXPECT_EQ(view.setRowsCalls, callsBefore + 1) << "the answers of one refresh are drawn at once";
    presenter->OnSort(FleetColumn::Address, true);
    EXPECT_EQ(view.Cell(0, FleetColumn::Address), "127.0.0.2:2000");
    EXPECT_EQ(view.Cell(1, FleetColumn::Address), "127.0.0.9:2000");
    EXPECT_EQ(view.Cell(2, FleetColumn::Address), "127.0.0.10:2000");
    presenter->OnSort(FleetColumn::Serial, false);
    EXPECT_EQ(view.Cell(0, FleetColumn::Serial), "10");
    EXPECT_EQ(view.Cell(0, FleetColumn::Kennung), "19 FARQUIN");
    EXPECT_EQ(view.Cell(0, FleetColumn::State), "found");
}

TEST_F(FleetPresenterTest, ScanFindsTheDevicesThatAnswer) {
    std::vector<std::unique_ptr<LoopbackSim>> sims;
    for (const int last : {203, 200}) {
        SimOptions o = SimAt(Addr(last));
        o.Identity.Serial = last;
        sims.push_back(std::make_unique<LoopbackSim>(o, sims.empty() ? 0 : sims.front()->Port()));
        ASSERT_TRUE(sims.back()->Listening());
    }
    const std::string port = std::to_string(sims.front()->Port());
    presenter->OnScan("127.0.0.200-204", port);
    EXPECT_TRUE(view.busy);
    ASSERT_TRUE(Idle());
    ASSERT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.Cell(0, FleetColumn::Address), Addr(200) + ":" + port);
    EXPECT_EQ(view.Cell(1, FleetColumn::Serial), "203");
    EXPECT_EQ(view.Cell(1, FleetColumn::DeviceName), "Q7 Demo");
    EXPECT_EQ(view.choices.back(), "HWV=1.4");
    EXPECT_EQ(view.status, "Scan ended: 2 device(s) in the table");
    EXPECT_EQ(view.overallText, "scanned 127.0.0.200-204: 5 of 5, 2 found");
    EXPECT_EQ(view.overallPercent, 100);
}

TEST_F(FleetPresenterTest, OneSelectionByVersionByClickAndByShiftClick) {
    for (const auto& [last, version] : std::vector<std::pair<int, std::string>>{
             {1, "HWV=1.10"}, {2, "HWV=1.2"}, {3, "HWV=1.2"}, {4, "HWV=1.4"}})
        presenter->Events().OnFound(Found(last, version, last));
    ASSERT_TRUE(view.WaitFor([&] { return view.rows.size() == 4; }));
    EXPECT_EQ(view.choices, (std::vector<std::string>{"failed", "incomplete", "not begun", "held", "skipped",
                                                      "refused", "not OK", "HWV=1.2", "HWV=1.4", "HWV=1.10"}))
        << "the versions by number, not by text";
    EXPECT_EQ(view.selection, "0 of 4 selected");
    presenter->OnSelect("HWV=1.2");
    EXPECT_EQ(view.Ticks(), "-xx-");
    EXPECT_EQ(view.selection, "2 of 4 selected");
    presenter->OnSelectAll();
    EXPECT_EQ(view.Ticks(), "xxxx");
    presenter->OnSelectNone();
    presenter->OnRowChecked(0, true);
    presenter->OnRowChecked(2, true, true); // shift-click: from the last one ticked
    EXPECT_EQ(view.Ticks(), "xxx-");
    presenter->OnRowChecked(3, false);
    presenter->OnRowChecked(1, false, true);
    EXPECT_EQ(view.Ticks(), "x---");
    presenter->OnSelect("not OK"); // no device was updated yet
    EXPECT_EQ(view.selection, "4 of 4 selected");
    presenter->OnSelect("failed");
    EXPECT_EQ(view.Ticks(), "----");

    // Rows go with Delete: the selected ones, else the current one.
    presenter->OnRowChecked(1, true);
    presenter->OnRowChecked(2, true);
    presenter->OnRemove(0);
    EXPECT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(view.Cell(1, FleetColumn::Address), Addr(4) + ":2000");
    presenter->OnCurrentRow(1);
    EXPECT_EQ(
        view.details.rfind(Addr(4) + ":2000\nState: found\nReports: OEM id 19 FARQUIN, HWV=1.4, serial 4", 0),
        0u)
        << view.details;
    presenter->OnRemove(1);
    EXPECT_EQ(view.selection, "0 of 1 selected");
    EXPECT_EQ(view.details, "");
}

TEST_F(FleetPresenterTest, AListOfDevicesInTheTableSelectsThem) {
    for (const int last : {1, 2, 3})
        presenter->Events().OnFound(Found(last, "HWV=1.4", last));
    ASSERT_TRUE(view.WaitFor([&] { return view.rows.size() == 3; }));
    std::ofstream(dir / "line.txt") << "# two of them\n" << Addr(3) << "\n" << Addr(1) << ":2000\n";
    view.nextList = dir / "line.txt";
    presenter->OnRowChecked(1, true);
    presenter->OnOpenList();
    EXPECT_EQ(view.Ticks(), "x-x");
    EXPECT_EQ(view.status, "No new device: the list's 2 device(s) are in the table already, and selected");
    presenter->OnAdd(Addr(2));
    EXPECT_EQ(view.Ticks(), "xxx");
    EXPECT_FALSE(view.busy);
}

TEST_F(FleetPresenterTest, RefusesBadInputWithAClearText) {
    presenter->OnScan("127.0.0.0/8", "2000"); // larger than a scan may be
    presenter->OnScan("127.0.0.1", "0");
    presenter->OnAdd("127.0.0.1:70000");
    presenter->OnUpdateSelected(0, 0);
    ASSERT_EQ(view.boxes.size(), 4u);
    EXPECT_NE(view.boxes[0].find("Not a range to scan"), std::string::npos) << view.boxes[0];
    EXPECT_EQ(view.boxes[1], "The port must be a number from 1 to 65535");
    EXPECT_NE(view.boxes[2].find("65535"), std::string::npos) << view.boxes[2];
    EXPECT_EQ(view.boxes[3], "Choose the firmware configuration file first");
    view.nextConfig = dir / "missing.cfg";
    presenter->OnChooseConfig();
    EXPECT_EQ(view.configInfo, "not a valid configuration: missing.cfg");
    EXPECT_NE(view.configTip.find("Error on reading config file"), std::string::npos) << view.configTip;
    presenter->OnSaveReport();
    EXPECT_EQ(view.boxes.back(), "No update has run yet: there is no report to save");
    EXPECT_FALSE(view.busy);
}

TEST_F(FleetPresenterTest, UpdatesTheSelectionAndShowsEachDevicesEnd) {
    SimOptions foreign = SimAt(Addr(206));
    foreign.Identity.Kennung = 11;
    SimOptions dropping = SimAt(Addr(207)); // hangs up on its first update connection
    dropping.HangUp = true;
    SimOptions failing = SimAt(Addr(208));
    failing.ModelFaults.ErrorOnPage = 1;
    LoopbackSim ok(SimAt(Addr(205))), refusing(foreign), flaky(dropping), broken(failing);
    // In real time, so that the device's error reply comes while its update still runs.
    presenter.reset();
    options.Clock = nullptr;
    presenter = std::make_unique<FleetPresenter>(view, options);
    ASSERT_TRUE(ok.Listening() && refusing.Listening() && flaky.Listening() && broken.Listening());
    for (const LoopbackSim* s : {&ok, &refusing, &broken})
        Add(s->Device());
    EXPECT_EQ(view.State(ok.Device()), "found");
    EXPECT_EQ(view.Cell(1, FleetColumn::Kennung), "11 KORVAL");
    Add(flaky.Device());
    EXPECT_EQ(view.State(flaky.Device()).rfind("no answer: ", 0), 0u) << view.State(flaky.Device());

    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    EXPECT_EQ(view.configInfo, "image checks out: fw.cfg, version 1 revision 0, image fw.bin (700 bytes)");
    presenter->OnSelectAll();
    presenter->OnUpdateSelected(2, 1);
    EXPECT_TRUE(view.busy);
    EXPECT_FALSE(presenter->OnCloseRequest()) << "the operator chose to keep the window open";
    EXPECT_EQ(view.questions.size(), 1u);
    // The selection is the run's own while it runs: a box cleared, or Select none, changes nothing.
    EXPECT_TRUE(view.controls.SelectionLocked);
    presenter->OnRowChecked(0, false);
    presenter->OnSelectNone();
    EXPECT_EQ(view.Ticks(), "xxxx");
    EXPECT_EQ(view.selection, "4 of 4 selected (kept while the update runs)");
    ASSERT_TRUE(Idle());

    EXPECT_EQ(view.State(ok.Device()), "OK");
    EXPECT_EQ(view.Row(ok.Device())->Tone, FleetTone::Ok);
    EXPECT_EQ(view.State(refusing.Device()),
              "refused by the OEM rule: the device reports OEM id 11, this tool "
              "updates OEM id 19 (-admin lifts the rule)");
    EXPECT_EQ(view.Row(refusing.Device())->Tone, FleetTone::Refused);
    // Erased, then the error reply: its flash is incomplete, whatever else it says.
    EXPECT_EQ(view.State(broken.Device()).rfind("incomplete: failed: update failed: ", 0), 0u)
        << view.State(broken.Device());
    EXPECT_EQ(view.Row(broken.Device())->Tone, FleetTone::Incomplete);
    EXPECT_EQ(view.State(flaky.Device()).rfind("no answer: ", 0), 0u) << "every attempt was hung up on";
    EXPECT_EQ(view.overallPercent, 100);
    EXPECT_EQ(view.status,
              "Update ended: 1 OK, 1 incomplete, 1 failed, 1 refused; report: " + options.AutoReportPath);
    EXPECT_EQ(view.summary.rfind("Last update (", 0), 0u) << view.summary;
    EXPECT_NE(view.summary.find(") ended: 1 OK, 1 incomplete, 1 failed, 1 refused. Update again: flash "
                                "incomplete: " +
                                broken.Device() + "; failed: " + flaky.Device()),
              std::string::npos)
        << view.summary;
    EXPECT_TRUE(view.controls.RetryFailed && view.controls.UpdateRest && view.controls.SaveReport);

    // By state: the ends of the last update.
    presenter->OnSelect("failed");
    EXPECT_EQ(view.Ticks(), "---x");
    presenter->OnSelect("incomplete");
    EXPECT_EQ(view.Ticks(), "--x-");
    presenter->OnSelect("refused");
    EXPECT_EQ(view.Ticks(), "-x--");
    presenter->OnSelect("not OK");
    EXPECT_EQ(view.Ticks(), "-xxx");
    // The details of the failed device: its attempts, its pages and its own lines of the log.
    presenter->OnCurrentRow(2);
    for (const char* part : {"\nLast update: failed, started ",
                             "\n  attempt 1: failed (9) update failed: ", "\nPages: 3, sent ", "\nLog:\n"})
        EXPECT_NE(view.details.find(part), std::string::npos) << part << " in " << view.details;

    // The report beside the log, and what the devices received.
    const nlohmann::json report = nlohmann::json::parse(ReadText(options.AutoReportPath), nullptr, false);
    const nlohmann::json devices = report.value("devices", nlohmann::json::array());
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].value("result", ""), "ok");
    EXPECT_EQ(devices[1].value("result", ""), "oem-rule");
    EXPECT_EQ(devices[3].value("attempts", 0), 2);
    const std::vector<nlohmann::json> sessions = ok.Sessions(2);
    ASSERT_EQ(sessions.size(), 2u) << "identified, then updated";
    EXPECT_EQ(sessions[1].value("checksum", 0), ImageChecksum(image.data(), image.size()));
    EXPECT_TRUE(sessions[1].value("updateEnded", false));
    for (const nlohmann::json& s : refusing.Sessions(2))
        EXPECT_EQ(s.value("writes", -1), 0);

    EXPECT_EQ(report.at("run").value("tool", ""), "fwupdate");

    // Saved where the operator chooses, with the run's facts as the command line fills them.
    view.nextReport = dir / "saved.csv";
    presenter->OnSaveReport();
    const std::string csv = ReadText(dir / "saved.csv");
    EXPECT_EQ(csv.rfind("address,", 0), 0u) << csv;
    EXPECT_NE(csv.find(ok.Device() + ",19,"), std::string::npos) << csv;
    view.nextReport = dir / "saved.json";
    presenter->OnSaveReport();
    const nlohmann::json run = nlohmann::json::parse(ReadText(dir / "saved.json"), nullptr, false).at("run");
    EXPECT_EQ(run.value("tool", ""), "fwupdate");
    EXPECT_EQ(run.value("version", ""), kFwUpdateVersion);
    EXPECT_EQ(run.value("commandLine", ""), "fwupdate");
    EXPECT_EQ(run.value("exitCode", 0), 9);
    EXPECT_TRUE(run.at("start").is_string() && run.at("end").is_string()) << run;
    EXPECT_EQ(run.value("host", ""), HostName());
    EXPECT_EQ(view.status, "Report saved: " + PathToUtf8(PathFromUtf8(dir / "saved.json").make_preferred()));
    view.nextReport = dir / "saved.txt";
    presenter->OnSaveReport();
    EXPECT_EQ(view.boxes.back(), "The report's name must end in .csv or .json");
}

TEST_F(FleetPresenterTest, AStopLeavesTheStartedDeviceIncompleteAndSaysSo) {
    LoopbackSim device(SimAt(Addr(209)));
    ASSERT_TRUE(device.Listening());
    Add(device.Device());
    // The device thread holds at the second page's pause until the window has pressed Stop.
    std::atomic<int> pagePauses{0};
    std::atomic<bool> stopped{false};
    clock.OnSleep = [&](size_t, int64_t ms) {
        if (ms == 50 && ++pagePauses == 2) {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!stopped && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
        }
    };
    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    presenter->OnSelectAll();
    presenter->OnUpdateSelected(0, 3);
    ASSERT_TRUE(view.WaitFor([&] { return pagePauses >= 2; }));
    presenter->OnStop();
    stopped = true;
    EXPECT_EQ(view.status, "Stopping: every update stops after its current page...");
    ASSERT_TRUE(Idle());
    EXPECT_EQ(view.State(device.Device()), "incomplete: stopped, update it again");
    EXPECT_EQ(view.Row(device.Device())->Tone, FleetTone::Incomplete);
    // The bar stays where the stop found it, and the end says what ended how.
    const std::string at = "stopped at " + std::to_string(view.overallPercent) + " %: ";
    EXPECT_LT(view.overallPercent, 100);
    EXPECT_EQ(view.overallText, at + "0 OK, 1 incomplete, 0 not begun, 0 failed, 0 refused");
    EXPECT_EQ(view.status, "Update " + at + "0 OK, 1 incomplete, 0 not begun, 0 failed, 0 refused; report: " +
                               options.AutoReportPath);
    EXPECT_NE(view.summary.find("Update again: flash incomplete: " + device.Device()), std::string::npos)
        << view.summary;

    // Kept across a rescan, a save and a look at the device, until the device is updated again.
    FoundEvent again = Found(209, "HWV=1.5", 9);
    again.Device.Port = device.Port();
    again.Device.Label = device.Device();
    presenter->Events().OnFound(again);
    ASSERT_TRUE(view.WaitFor([&] { return view.Cell(0, FleetColumn::Version) == "HWV=1.5"; }));
    EXPECT_EQ(view.State(device.Device()), "incomplete: stopped, update it again");
    view.nextReport = dir / "saved.csv";
    presenter->OnSaveReport();
    EXPECT_NE(view.summary.find("flash incomplete: " + device.Device()), std::string::npos);
    presenter->OnSelect("incomplete");
    EXPECT_EQ(view.Ticks(), "x");
    stopped = true;
    presenter->OnSelectNone();
    presenter->OnUpdateRest(0, 0);
    ASSERT_TRUE(Idle());
    EXPECT_EQ(view.State(device.Device()), "OK");
    EXPECT_EQ(view.summary.find("incomplete"), std::string::npos) << view.summary;
    EXPECT_NE(view.summary.find("Nothing left to update."), std::string::npos) << view.summary;
    const std::vector<nlohmann::json> sessions = device.Sessions(3);
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_FALSE(sessions[1].value("updateEnded", true));
    EXPECT_TRUE(sessions[2].value("updateEnded", false));
}

TEST_F(FleetPresenterTest, AStopBeforeTheRetryOfAHalfWrittenDeviceStillCallsItIncomplete) {
    // The first update connection (the device's second session) is closed after two pages.
    SimOptions dropping = SimAt(Addr(210));
    dropping.ModelFaults.CloseAfterPages = 2;
    dropping.FaultSessions = 2;
    LoopbackSim device(dropping);
    ASSERT_TRUE(device.Listening());
    presenter.reset();
    options.Clock = nullptr; // in real time, so that the lost link ends the first attempt
    presenter = std::make_unique<FleetPresenter>(view, options);
    Add(device.Device());
    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    presenter->OnSelectAll();
    presenter->OnUpdateSelected(0, 2);
    ASSERT_TRUE(view.WaitFor([&] { return view.State(device.Device()).rfind("retry 2 of 3", 0) == 0; }))
        << view.State(device.Device());
    presenter->OnStop();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(view.State(device.Device()), "incomplete: stopped, update it again");
    EXPECT_NE(view.status.find(": 0 OK, 1 incomplete, 0 not begun"), std::string::npos) << view.status;
}

TEST_F(FleetPresenterTest, AHalfWrittenDeviceThatThenDoesNotAnswerIsIncomplete) {
    // Its first update connection is closed after two pages; before the second attempt the device is gone.
    SimOptions dropping = SimAt(Addr(211));
    dropping.ModelFaults.CloseAfterPages = 2;
    dropping.FaultSessions = 2;
    auto device = std::make_unique<LoopbackSim>(dropping);
    ASSERT_TRUE(device->Listening());
    const std::string label = device->Device();
    presenter.reset();
    options.Clock = nullptr;
    presenter = std::make_unique<FleetPresenter>(view, options);
    Add(label);
    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    presenter->OnUpdateSelected(0, 1);
    ASSERT_TRUE(view.WaitFor([&] { return view.State(label).rfind("retry 2 of 2", 0) == 0; }))
        << view.State(label);
    device.reset();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(view.State(label).rfind("incomplete: no answer: ", 0), 0u) << view.State(label);
    EXPECT_EQ(view.overallText, "ended: 0 OK, 1 incomplete");
    EXPECT_NE(view.summary.find("flash incomplete: " + label), std::string::npos) << view.summary;
    presenter->OnSelect("failed");
    EXPECT_EQ(view.Ticks(), "-") << "counted as incomplete";
    EXPECT_TRUE(view.controls.RetryFailed) << "its last attempt failed";
}

TEST_F(FleetPresenterTest, ARetrySaysItsAttemptAndTheEndHowManyItTook) {
    SimOptions dropping = SimAt(Addr(212));
    dropping.ModelFaults.CloseAfterPages = 2;
    dropping.FaultSessions = 2;
    LoopbackSim device(dropping);
    ASSERT_TRUE(device.Listening());
    presenter.reset();
    options.Clock = nullptr;
    presenter = std::make_unique<FleetPresenter>(view, options);
    Add(device.Device());
    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    presenter->OnUpdateSelected(0, 1);
    std::set<std::string> states;
    ASSERT_TRUE(view.WaitFor([&] {
        states.insert(view.State(device.Device()));
        return !view.busy;
    }));
    EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const std::string& state) {
        return state.rfind("updating ", 0) == 0 && state.find(" % (attempt 2 of 2)") != std::string::npos;
    })) << testing::PrintToString(states);
    EXPECT_EQ(view.State(device.Device()), "OK after 2 attempts");
    presenter->OnCurrentRow(0);
    EXPECT_NE(view.details.find("\n  attempt 1: failed (9) update failed: 2 of 3 pages sent"),
              std::string::npos)
        << view.details;
    EXPECT_NE(view.details.find("\n  attempt 2: ok (0) "), std::string::npos) << view.details;
}

TEST_F(FleetPresenterTest, ClosingDuringAnUpdateStopsItAndClosesOnceItHasStopped) {
    LoopbackSim device(SimAt(Addr(213)));
    ASSERT_TRUE(device.Listening());
    Add(device.Device());
    std::atomic<bool> release{false};
    std::atomic<int> pagePauses{0};
    clock.OnSleep = [&](size_t, int64_t ms) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        if (ms == 50 && ++pagePauses > 0)
            while (!release && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
    };
    view.nextConfig = dir / "fw.cfg";
    presenter->OnChooseConfig();
    presenter->OnUpdateSelected(0, 0);
    ASSERT_TRUE(view.WaitFor([&] { return pagePauses > 0; }));
    view.stopAndClose = true;
    EXPECT_FALSE(presenter->OnCloseRequest());
    EXPECT_FALSE(view.closed);
    release = true;
    ASSERT_TRUE(view.WaitFor([&] { return view.closed; }));
    EXPECT_EQ(view.State(device.Device()), "incomplete: stopped, update it again");
}

TEST_F(FleetPresenterTest, AWaveThatEndsWithAFailureHoldsTheRestAndUpdateTheRestFinishesIt) {
    // In table order: a device of a version without a configuration, one that updates, one that fails its
    // first update (the first wave ends with a failure), two of the second wave.
    SimOptions older = SimAt(Addr(214)), failing = SimAt(Addr(216));
    older.Identity.VersionLow = 3;
    failing.ModelFaults.ErrorOnPage = 1;
    failing.FaultSessions = 2; // identified, then its first update
    LoopbackSim skipped(older), ok(SimAt(Addr(215))), broken(failing), held1(SimAt(Addr(217))),
        held2(SimAt(Addr(218)));
    presenter.reset();
    options.Clock = nullptr; // in real time: the error reply comes while the update runs
    presenter = std::make_unique<FleetPresenter>(view, options);
    for (const LoopbackSim* s : {&skipped, &ok, &broken, &held1, &held2})
        Add(s->Device());
    // A configuration for HWV=1.4 only, none for all.
    view.nextMenu = 1;
    view.nextConfig = dir / "fw.cfg";
    presenter->OnConfigByVersion();
    EXPECT_EQ(view.menus, (std::vector<std::vector<std::string>>{
                              std::vector<std::string>{"HWV=1.3 (1 device): no configuration, skipped…",
                                                       "HWV=1.4 (4 devices): no configuration, skipped…"}}));
    EXPECT_EQ(view.configInfo, "image checks out: HWV=1.4 fw.cfg, others skipped");
    presenter->OnSelectAll();
    presenter->OnUpdateSelected(0, 0, "3,x", "");
    presenter->OnUpdateSelected(0, 0, "3", "101%");
    EXPECT_EQ(view.boxes,
              (std::vector<std::string>{
                  "Waves: \"x\" is no wave size: a count of devices (1 or more) or a percentage (1% "
                  "to 100%)",
                  "Max failed: \"101%\" is no failure limit: a count of devices (0 or more) or a "
                  "percentage (0% to 100%)"}));
    presenter->OnUpdateSelected(0, 0, "3, 100%", "");
    ASSERT_TRUE(Idle());
    const std::string held = "held: wave 1 ended with 1 failed device (" + broken.Device() + "); not updated";
    const std::pair<const LoopbackSim*, std::string> ends[] = {
        {&skipped, "skipped: the device reports HWV=1.3, for which the run has no configuration; nothing was "
                   "written"},
        {&ok, "OK"},
        {&held1, held},
        {&held2, held}};
    for (const auto& [sim, state] : ends)
        EXPECT_EQ(view.State(sim->Device()), state);
    EXPECT_EQ(view.Row(held1.Device())->Tone, FleetTone::Held);
    EXPECT_EQ(view.Row(skipped.Device())->Tone, FleetTone::Skipped);
    for (size_t row = 0; row < 5; ++row)
        EXPECT_EQ(view.Cell(row, FleetColumn::Wave), row < 3 ? "1" : "2") << row;
    EXPECT_EQ(view.overallPercent, 100) << "held devices have ended";
    EXPECT_EQ(view.overallText, "ended: 1 OK, 1 incomplete, 2 held, 1 skipped");
    EXPECT_EQ(view.status.rfind("Update ended: 1 OK, 1 incomplete, 2 held, 1 skipped; held at ", 0), 0u)
        << view.status;
    EXPECT_NE(view.status.find(": wave 1 ended with 1 failed device (" + broken.Device() + "); report: "),
              std::string::npos)
        << view.status;
    EXPECT_NE(view.summary.find(". The rollout held the rest at "), std::string::npos) << view.summary;
    EXPECT_NE(view.summary.find("; held: " + held1.Device() + ", " + held2.Device() + "; skipped: "),
              std::string::npos)
        << view.summary;
    const nlohmann::json report = nlohmann::json::parse(ReadText(options.AutoReportPath), nullptr, false);
    EXPECT_EQ(report.at("run").value("waves", ""), "3,100%");
    EXPECT_EQ(report.at("devices").at(4).value("flash", ""), "untouched");

    // The rest, in the waves it had: the failed device (its fault gone) first, then the held ones.
    presenter->OnUpdateRest(0, 0, "", "1");
    ASSERT_TRUE(Idle());
    EXPECT_EQ(view.overallText, "ended: 3 OK, 1 skipped");
    EXPECT_EQ(view.Ticks(), "x-xxx");
    EXPECT_EQ(view.Cell(4, FleetColumn::Wave), "2");
    EXPECT_EQ(view.State(held2.Device()), "OK");
}

TEST_F(FleetPresenterTest, KeepsTheFieldsTheConfigurationAndTheSize) {
    presenter.reset();
    options.Ranges = {"127.0.9.0/24"};
    options.Settings.Inputs = {"127.0.0.0/24", "2001", 7, 2, 900, 560, "2,25%,100%", "2"};
    options.Settings.Config = dir / "fw.cfg";
    options.Settings.ConfigFor = {{"HWV=1.3", dir / "fw.cfg"}};
    presenter = std::make_unique<FleetPresenter>(view, options);
    EXPECT_EQ(view.inputs, options.Settings.Inputs);
    EXPECT_EQ(view.ranges, (std::vector<std::string>{"127.0.0.0/24", "127.0.9.0/24"}));
    EXPECT_EQ(view.configInfo, "images check out: HWV=1.3 fw.cfg, others fw.cfg");
    view.inputs = {"127.0.0.1", "2002", 3, 0, 1000, 600, "", "10%"};
    EXPECT_TRUE(presenter->OnCloseRequest());
    EXPECT_EQ(presenter->Settings(),
              (FleetSettings{view.inputs, options.Settings.Config, options.Settings.ConfigFor}));
}

} // namespace
