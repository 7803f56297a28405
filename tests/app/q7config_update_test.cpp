// The "Update Firmware" button driven in the offscreen window against the device simulator on
// 127.0.0.47-48: the file chooser seam picks the configuration, the update runs, the status bar tells.
#include "app/q7config.h"

#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

#include "app/settings.h"
#include "base/log.h"
#include "link/conbase.h"
#include "tests/app/qtenvironment.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/tools/simprocess.h"
#include "tests/update/testdevice.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

namespace {

namespace fs = std::filesystem;
constexpr int kWait = 8000; // ms; every wait ends as soon as its condition holds

class WindowUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(fs::create_directory(dir + "/release"));
        TheLog().SetPath(logPath);
        image = DemoImage(5 * 256 + 3, 11);
        ConfigFields fields;
        fields.Filename = "D:\\out\\DSPMAIN.bin";
        fields.FwVersion = 15;
        fields.FwRevision = 1;
        ASSERT_TRUE(WriteRelease(dir + "/release/DSPMAIN.bin", image, fields, cfg));
        CfgFolder = "/start/folder";
    }
    void TearDown() override {
        window.reset();
        link.reset();
    }
    void Start(const char* address, const std::vector<std::string>& options, QStringList arguments = {}) {
        const auto port = sim.StartDevice(FWDEVSIM_PATH, address, options);
        ASSERT_TRUE(port.has_value()) << sim.ErrText();
        link = std::make_unique<ConBase>();
        window = std::make_unique<Q7Config>(
            *link, arguments,
            [this](const QString& start) {
                chooserStart = start;
                return chosen;
            },
            [this](const QString& text) { boxes << text; });
        window->SetUpdateClock(&clock);
        window->show();
        window->IP.setText(QString::fromLatin1(address));
        window->EDITPORT.SetValue(*port);
        QTest::mouseClick(&window->CONNECT, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return window->onlineDisplay.isOnline && window->KennungReported && window->SerialReported;
            },
            kWait));
    }
    size_t LogCount(const std::string& line) { return CountLogLine(logPath, line); }

    TestFolder folder{"q7config_update_test"};
    const std::string dir = folder.Path();
    const std::string logPath = dir + "/test.log";
    const std::string cfg = dir + "/release/fw.cfg";
    std::vector<uint8_t> image;
    SimProcess sim;
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
    FakeClock clock;
    QString chosen;
    QString chooserStart;
    QStringList boxes;
};

TEST_F(WindowUpdate, UpdateFirmwareButtonRunsAFullUpdate) {
    Start("127.0.0.47", {"--once", "--image-out", dir + "/received.bin"});
    chosen = QString::fromStdString(cfg);
    QTest::mouseClick(&window->UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(chooserStart, QStringLiteral("/start/folder"));
    EXPECT_EQ(CfgFolder, dir + "/release");
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join("|").toStdString();
    EXPECT_EQ(window->status.currentMessage(), QStringLiteral("Firmwareupdate OK"));
    EXPECT_EQ(window->Config.FwVersion, 15);

    // Close once the device has acknowledged the end of the update; its report tells what arrived.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return LogCount("Q7Config::MsgCallback: WOK Obj(10,9)") == 2; }, kWait));
    QTest::mouseClick(&window->CONNECT, Qt::LeftButton);
    const auto json = sim.NextJson();
    ASSERT_TRUE(json.has_value());
    for (const std::string field : {"\"pages\":6", "\"bytes\":1283", "\"name\":\"DSPMAIN\"", "\"version\":15",
                                    "\"revision\":1", "\"orderErrors\":0", "\"imageEnded\":true"})
        EXPECT_NE(json->find(field), std::string::npos) << field << " in " << *json;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return fs::exists(dir + "/received.bin") && fs::file_size(dir + "/received.bin") == image.size();
        },
        kWait));
    EXPECT_EQ(ReadFileBytes(dir + "/received.bin").value_or(std::vector<uint8_t>{}), image);
    // The result stays for 2000 ms.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->status.currentMessage().isEmpty(); }, 4000));
}

TEST_F(WindowUpdate, RefusedUpdateKeepsTheChosenFolderAndSendsNothing) {
    Start("127.0.0.48", {"--once", "--oem", "11"});
    chosen = QString::fromStdString(cfg);
    QTest::mouseClick(&window->UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(boxes, QStringList{QStringLiteral("Online 19 Devices can be updated")});
    EXPECT_EQ(CfgFolder, dir + "/release");

    // Cancelling the chooser changes nothing.
    CfgFolder = "/kept";
    chosen.clear();
    QTest::mouseClick(&window->UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(CfgFolder, "/kept");
    EXPECT_EQ(boxes.size(), 1);

    QTest::mouseClick(&window->CONNECT, Qt::LeftButton);
    const auto json = sim.NextJson();
    ASSERT_TRUE(json.has_value());
    EXPECT_NE(json->find("\"writes\":0"), std::string::npos) << *json;
}

} // namespace
