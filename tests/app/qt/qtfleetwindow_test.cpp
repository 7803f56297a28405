// The Qt window of many devices against one device simulator playing twenty devices on 127.0.0.220-239,
// two of them faulty: scanned, selected, updated and reported through the window's controls, and what the
// table and the report say matches what the devices received.
#include "app/qt/qtfleetwindow.h"

#include <QHeaderView>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/fleetpresenter.h"
#include "tests/app/qt/qtenvironment.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/tools/simprocess.h"

namespace {

constexpr int kWait = 60000; // ms; every wait ends as soon as its condition holds

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class QtFleetWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = DemoImage(700, 3);
        ConfigFields f;
        f.Filename = "fw.bin";
        ASSERT_TRUE(WriteRelease(dir / "fw.bin", image, f, dir / "fw.cfg"));
        window = std::make_unique<QtFleetWindow>(
            [this](FleetView::FileKind kind, const QString&) {
                return kind == FleetView::FileKind::Config ? QString::fromStdString(dir / "fw.cfg")
                                                           : QString::fromStdString(dir / "saved.json");
            },
            [this](const QString& text) { boxes << text; });
        FleetOptions options;
        options.AutoReportPath = dir / "last-run.csv";
        options.Timeout = std::chrono::seconds(10);
        presenter = std::make_unique<FleetPresenter>(*window, options);
        window->Show();
    }
    void TearDown() override {
        presenter.reset();
        window.reset();
    }
    // Starts one simulator playing twenty devices from 127.0.0.220 (with these options) and scans them
    // through the window; the port, or 0.
    int ScanTwenty(SimProcess& sim, const std::vector<std::string>& options) {
        std::vector<std::string> all{"--count", "20"};
        all.insert(all.end(), options.begin(), options.end());
        const std::optional<int> port = sim.StartDevice(FWDEVSIM_PATH, "127.0.0.220", all);
        EXPECT_TRUE(port.has_value()) << sim.ErrText();
        if (!port)
            return 0;
        QtFleetWindow& w = *window;
        w.RANGE.setEditText(QStringLiteral("127.0.0.220-239"));
        w.PORT.setText(QString::number(*port));
        QTest::mouseClick(&w.SCAN, Qt::LeftButton);
        EXPECT_TRUE(w.STOP.isEnabled());
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return w.STATUS.text().startsWith(QStringLiteral("Scan ended")); }, kWait))
            << w.STATUS.text().toStdString();
        return *port;
    }
    std::string Cell(int row, FleetColumn column) const {
        const QTableWidgetItem* item = window->DEVICES.item(row, static_cast<int>(column));
        return item ? item->text().toStdString() : std::string();
    }

    TestFolder dir{"qtfleetwindow_test"};
    std::vector<uint8_t> image;
    std::unique_ptr<QtFleetWindow> window; // outlives the presenter
    std::unique_ptr<FleetPresenter> presenter;
    QStringList boxes;
};

TEST_F(QtFleetWindowTest, ScansSelectsUpdatesAndReportsTwentyDevices) {
    SimProcess sim;
    QtFleetWindow& w = *window;
    EXPECT_FALSE(w.STOP.isEnabled());
    // Devices 3 and 11 (127.0.0.223 and .231) reply with an error to the second page.
    const int port = ScanTwenty(sim, {"--error-on-page", "1", "--faulty", "3,11"});
    ASSERT_NE(port, 0);
    ASSERT_EQ(w.DEVICES.rowCount(), 20);
    emit w.DEVICES.horizontalHeader()->sectionClicked(static_cast<int>(FleetColumn::Address));
    const std::string p = ":" + std::to_string(port);
    EXPECT_EQ(Cell(0, FleetColumn::Address), "127.0.0.220" + p);
    EXPECT_EQ(Cell(19, FleetColumn::Address), "127.0.0.239" + p);
    EXPECT_EQ(Cell(0, FleetColumn::Kennung), "19 FARQUIN");
    EXPECT_EQ(Cell(0, FleetColumn::Version), "HWV=1.4");
    EXPECT_EQ(Cell(0, FleetColumn::State), "found");

    // Every device of the version found, but the last one.
    ASSERT_EQ(w.VERSIONS.count(), 1);
    QTest::mouseClick(&w.SELECTVERSION, Qt::LeftButton);
    w.DEVICES.item(19, 0)->setCheckState(Qt::Unchecked);
    QTest::mouseClick(&w.CONFIG, Qt::LeftButton);
    EXPECT_TRUE(w.CONFIGINFO.text().endsWith(QStringLiteral("the image checks out")))
        << w.CONFIGINFO.text().toStdString();
    w.JOBS.setValue(10);
    w.RETRIES.setValue(0);
    QTest::mouseClick(&w.UPDATE, Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.STATUS.text().startsWith(QStringLiteral("Update ended")); }, kWait))
        << w.STATUS.text().toStdString();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QStringLiteral("; ")).toStdString();
    EXPECT_EQ(w.STATUS.text().toStdString(),
              "Update ended: 17 OK, 2 failed, 0 refused; report: " + dir.Path() + "/last-run.csv");
    for (int row = 0; row < 20; ++row) {
        const std::string state = Cell(row, FleetColumn::State);
        if (row == 3 || row == 11)
            EXPECT_EQ(state.rfind("failed: update failed: ", 0), 0u) << row << " " << state;
        else
            EXPECT_EQ(state, row == 19 ? "found" : "OK") << row;
    }
    EXPECT_EQ(w.OVERALL.value(), 100);

    // What each device received: its scan, then (all but the last) its update.
    std::map<std::string, nlohmann::json> updates;
    for (int lines = 0; lines < 39; ++lines) {
        const std::optional<std::string> line = sim.NextJson();
        ASSERT_TRUE(line.has_value()) << lines;
        const nlohmann::json s = nlohmann::json::parse(*line);
        if (s.value("writes", 0) > 0)
            updates[s.value("address", "")] = s;
    }
    ASSERT_EQ(updates.size(), 19u);
    const int32_t checksum = ImageChecksum(image.data(), image.size());
    for (const auto& [address, s] : updates) {
        const bool faulty = address == "127.0.0.223" || address == "127.0.0.231";
        EXPECT_EQ(s.value("errorReplies", -1), faulty ? 1 : 0) << address;
        if (!faulty) {
            EXPECT_EQ(s.value("checksum", 0), checksum) << address;
            EXPECT_TRUE(s.value("updateEnded", false)) << address;
        }
    }

    // The report beside the log, and the one saved where the operator chose.
    const std::string csv = ReadText(dir / "last-run.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 20) << csv;
    QTest::mouseClick(&w.SAVEREPORT, Qt::LeftButton);
    const nlohmann::json saved = nlohmann::json::parse(ReadText(dir / "saved.json"), nullptr, false);
    const nlohmann::json devices = saved.value("devices", nlohmann::json::array());
    ASSERT_EQ(devices.size(), 19u);
    EXPECT_EQ(devices[3].value("result", ""), "failed");
    EXPECT_EQ(devices[4].value("result", ""), "ok");
}

// The picture of the README (docs/fleet-window.png): twenty devices mid-update. Run by hand with
// FWUPDATE_SCREENSHOT_DIR naming the folder, under scripts/with-xvfb.sh with QT_QPA_PLATFORM=xcb.
TEST_F(QtFleetWindowTest, ScreenshotTwentyDevicesMidUpdate) {
    const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR");
    if (shots == nullptr || *shots == '\0')
        GTEST_SKIP() << "FWUPDATE_SCREENSHOT_DIR names no folder for the picture";
    // A 16 KiB image (64 pages), so that the picture catches the devices at work; device 5 replies with an
    // error to page 2.
    ConfigFields f;
    f.Filename = "fw.bin";
    ASSERT_TRUE(WriteRelease(dir / "fw.bin", DemoImage(16 * 1024, 3), f, dir / "fw.cfg"));
    SimProcess sim;
    ASSERT_NE(ScanTwenty(sim, {"--error-on-page", "2", "--faulty", "5"}), 0);
    QtFleetWindow& w = *window;
    emit w.DEVICES.horizontalHeader()->sectionClicked(static_cast<int>(FleetColumn::Address));
    QTest::mouseClick(&w.SELECTALL, Qt::LeftButton);
    w.DEVICES.item(17, 0)->setCheckState(Qt::Unchecked);
    QTest::mouseClick(&w.CONFIG, Qt::LeftButton);
    w.JOBS.setValue(8);
    QTest::mouseClick(&w.UPDATE, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.OVERALL.value() >= 35; }, kWait));
    EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/fleet-window.png")));
    QTest::mouseClick(&w.STOP, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, kWait));
}

} // namespace
