// The window of many devices through its presenter, with a recording view and simulated devices in this
// process on 127.0.0.200-219: scan answers in any order become one row each, selection by version, the
// update of the selection with refusals, retries and failures, a stop, and the report.
#include "app/fleetpresenter.h"

#include "tests/app/recordingfleetview.h"
#include "tests/fleet/fleetsim.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/update/testdevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
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
    EXPECT_EQ(view.versions, std::vector<std::string>{"HWV=1.4"});
    EXPECT_EQ(view.status, "Scan ended: 2 device(s) in the table");
}

TEST_F(FleetPresenterTest, SelectsEveryDeviceOfTheChosenVersion) {
    for (const auto& [last, version] :
         std::vector<std::pair<int, std::string>>{{1, "HWV=1.10"}, {2, "HWV=1.2"}, {3, "HWV=1.2"}})
        presenter->Events().OnFound(Found(last, version, last));
    ASSERT_TRUE(view.WaitFor([&] { return view.rows.size() == 3; }));
    EXPECT_EQ(view.versions, (std::vector<std::string>{"HWV=1.2", "HWV=1.10"})) << "by number, not by text";
    auto selected = [&] {
        std::string s;
        for (const FleetRow& r : view.rows)
            s += r.Selected ? "x" : "-";
        return s;
    };
    presenter->OnSelectVersion("HWV=1.2");
    EXPECT_EQ(selected(), "-xx");
    presenter->OnSelectAll();
    EXPECT_EQ(selected(), "xxx");
    presenter->OnSelectNone();
    presenter->OnRowChecked(0, true);
    EXPECT_EQ(selected(), "x--");
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
    EXPECT_NE(view.configInfo.find("Error on reading config file"), std::string::npos) << view.configInfo;
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
    EXPECT_EQ(view.configInfo,
              "fw.cfg: version 1 revision 0, image fw.bin (700 bytes): the image checks out");
    presenter->OnSelectAll();
    presenter->OnUpdateSelected(2, 1);
    EXPECT_TRUE(view.busy);
    EXPECT_FALSE(presenter->OnCloseRequest()) << "the window stays open while devices are updated";
    ASSERT_TRUE(Idle());

    EXPECT_EQ(view.State(ok.Device()), "OK");
    EXPECT_EQ(view.State(refusing.Device()), "refused: Online 19 Devices can be updated");
    EXPECT_EQ(view.State(broken.Device()).rfind("failed: update failed: ", 0), 0u)
        << view.State(broken.Device());
    EXPECT_EQ(view.State(flaky.Device()).rfind("no answer: ", 0), 0u) << "every attempt was hung up on";
    EXPECT_EQ(view.overallPercent, 100);
    EXPECT_EQ(view.status, "Update ended: 1 OK, 2 failed, 1 refused; report: " + options.AutoReportPath);

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

    view.nextReport = dir / "saved.csv";
    presenter->OnSaveReport();
    const std::string csv = ReadText(dir / "saved.csv");
    EXPECT_EQ(csv.rfind("address,", 0), 0u) << csv;
    EXPECT_NE(csv.find(ok.Device() + ",19,"), std::string::npos) << csv;
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
    EXPECT_EQ(view.State(device.Device()), "stopped: the flash is incomplete, update it again");
    EXPECT_EQ(view.status, "Stopped: 0 OK, 1 left incomplete (" + device.Device() +
                               "), 0 not begun, 0 failed, 0 refused; report: " + options.AutoReportPath);
    const std::vector<nlohmann::json> sessions = device.Sessions(2);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_FALSE(sessions[1].value("updateEnded", true));
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
    EXPECT_EQ(view.State(device.Device()), "stopped: the flash is incomplete, update it again");
    EXPECT_NE(view.status.find("1 left incomplete (" + device.Device() + ")"), std::string::npos)
        << view.status;
}

} // namespace
