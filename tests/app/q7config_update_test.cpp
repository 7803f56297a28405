// "Update Firmware" through the main window's presenter against the device simulator on 127.0.0.47-48: the
// chooser picks the configuration, the update runs on the presenter's worker, the status bar tells.
#include "app/q7config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/settings.h"
#include "base/log.h"
#include "link/conbase.h"
#include "tests/app/recordingmainview.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/support/waituntil.h"
#include "tests/tools/simprocess.h"
#include "tests/update/testdevice.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

namespace {

namespace fs = std::filesystem;
using Field = MainView::Field;

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
    void Start(const char* address, const std::vector<std::string>& options) {
        const auto port = sim.StartDevice(FWDEVSIM_PATH, address, options);
        ASSERT_TRUE(port.has_value()) << sim.ErrText();
        link = std::make_unique<ConBase>();
        window = std::make_unique<Q7Config>(*link, view, std::vector<std::string>{});
        window->Session.SetUpdateClock(&clock);
        view.fields[Field::IP] = address;
        view.fields[Field::EDITPORT] = std::to_string(*port);
        window->OnConnect();
        ASSERT_TRUE(view.WaitFor([&] {
            return view.online && window->Session.KennungReported && window->Session.SerialReported;
        }));
    }
    // Presses "Update Firmware", the chooser picks chosen, and waits for the update worker to end.
    void UpdateFirmware() {
        window->OnUpdateFirmware();
        ASSERT_TRUE(view.WaitFor([&] { return !window->UpdateRunning(); }));
    }
    size_t LogCount(const std::string& line) { return CountLogLine(logPath, line); }

    TestFolder folder{"q7config_update_test"};
    const std::string dir = folder.Path();
    const std::string logPath = dir + "/test.log";
    const std::string cfg = dir + "/release/fw.cfg";
    std::vector<uint8_t> image;
    SimProcess sim;
    RecordingMainView view; // outlives the presenter
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
    FakeClock clock;
};

TEST_F(WindowUpdate, UpdateFirmwareButtonRunsAFullUpdate) {
    Start("127.0.0.47", {"--once", "--image-out", dir + "/received.bin"});
    view.nextChoice = cfg;
    UpdateFirmware();
    EXPECT_EQ(view.chooserStarts, std::vector<std::string>{"/start/folder"});
    EXPECT_EQ(CfgFolder, dir + "/release");
    EXPECT_TRUE(view.boxes.empty()) << view.boxes.front();
    EXPECT_EQ(view.statusText, "Firmwareupdate OK");
    EXPECT_EQ(window->Config.FwVersion, 15);
    // The status bar's result stays for 2000 ms, after the progress indicator has gone.
    const std::vector<std::string> calls = view.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"progress end", "status=Firmwareupdate OK/2000", "update ended"}));

    // Close once the device has acknowledged the end of the update; its report tells what arrived.
    ASSERT_TRUE(view.WaitFor([&] { return LogCount("Q7Config::MsgCallback: WOK Obj(10,9)") == 2; }));
    window->OnConnect();
    const auto json = sim.NextJson();
    ASSERT_TRUE(json.has_value());
    for (const std::string field : {"\"pages\":6", "\"bytes\":1283", "\"name\":\"DSPMAIN\"", "\"version\":15",
                                    "\"revision\":1", "\"orderErrors\":0", "\"imageEnded\":true"})
        EXPECT_NE(json->find(field), std::string::npos) << field << " in " << *json;
    ASSERT_TRUE(WaitUntil([&] {
        return fs::exists(dir + "/received.bin") && fs::file_size(dir + "/received.bin") == image.size();
    }));
    EXPECT_EQ(ReadFileBytes(dir + "/received.bin").value_or(std::vector<uint8_t>{}), image);
}

TEST_F(WindowUpdate, RefusedUpdateKeepsTheChosenFolderAndSendsNothing) {
    Start("127.0.0.48", {"--once", "--oem", "11"});
    view.nextChoice = cfg;
    UpdateFirmware();
    EXPECT_EQ(view.boxes, std::vector<std::string>{"Online 19 Devices can be updated"});
    EXPECT_EQ(CfgFolder, dir + "/release");

    // Cancelling the chooser changes nothing.
    CfgFolder = "/kept";
    view.nextChoice.reset();
    window->OnUpdateFirmware();
    EXPECT_FALSE(window->UpdateRunning());
    EXPECT_EQ(CfgFolder, "/kept");
    EXPECT_EQ(view.boxes.size(), 1u);

    window->OnConnect();
    const auto json = sim.NextJson();
    ASSERT_TRUE(json.has_value());
    EXPECT_NE(json->find("\"writes\":0"), std::string::npos) << *json;
}

} // namespace
