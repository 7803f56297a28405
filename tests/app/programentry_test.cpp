// The program's start order through a window system of the test's own: the mode from the arguments, data.dat
// read before the window is shown, the event loop, data.dat written after it; the window of many devices'
// settings beside it.
#include "app/programentry.h"

#include <gtest/gtest.h>

#include "app/fleetpresenter.h"
#include "app/fleetsettings.h"
#include "app/q7config.h"
#include "app/settings.h"
#include "tests/app/recordingfleetview.h"
#include "tests/app/recordingmainview.h"
#include "tests/support/testfolder.h"

namespace {

// Its event loop notes what the window showed and what CfgFolder held, then chooses another folder, as an
// operator who confirmed a configuration file would.
class RecordingWindowSystem : public WindowSystem {
public:
    std::unique_ptr<MainView> MakeMainView() override {
        auto view = std::make_unique<RecordingMainView>();
        made = view.get();
        return view;
    }
    void Run() override {
        shownAtLoop = made->shown;
        titleAtLoop = made->title;
        folderAtLoop = CfgFolder;
        CfgFolder = "/chosen/in/the/loop";
    }

    RecordingMainView* made = nullptr;
    bool shownAtLoop = false;
    std::string titleAtLoop;
    std::string folderAtLoop;
};

TEST(ProgramEntry, ReadsSettingsBeforeShowingAndStoresThemAfterTheLoop) {
    TestFolder folder("programentry_test");
    ASSERT_FALSE(folder.Path().empty());
    ProgramEntryHooks hooks;
    hooks.SettingsFile = folder / "data.dat";
    CfgFolder = "/kept/at/start";
    ASSERT_TRUE(StoreSettings(hooks.SettingsFile));
    CfgFolder.clear();
    bool shownHookSawTheWindow = false;
    hooks.Shown = [&](Q7Config& window) { shownHookSawTheWindow = window.Session.AdminMode; };

    RecordingWindowSystem windows;
    EXPECT_EQ(RunFwUpdate({"x", "-admin"}, windows, hooks), 0);
    EXPECT_TRUE(windows.shownAtLoop);
    EXPECT_TRUE(shownHookSawTheWindow);
    EXPECT_EQ(windows.titleAtLoop, "FW-Update ADMIN V1.4");
    EXPECT_EQ(windows.folderAtLoop, "/kept/at/start");
    CfgFolder.clear();
    LoadSettings(hooks.SettingsFile);
    EXPECT_EQ(CfgFolder, "/chosen/in/the/loop");
}

// The window of many devices: what its fields held when it opened, and the operator's changes before closing.
class FleetWindowSystem : public WindowSystem {
public:
    std::unique_ptr<MainView> MakeMainView() override { return std::make_unique<RecordingMainView>(); }
    std::unique_ptr<FleetView> MakeFleetView() override {
        auto view = std::make_unique<RecordingFleetView>();
        made = view.get();
        return view;
    }
    void Run() override {
        atLoop = made->inputs;
        made->inputs = next;
        EXPECT_TRUE(made->presenter->OnCloseRequest());
    }

    RecordingFleetView* made = nullptr;
    FleetInputs atLoop;
    FleetInputs next;
};

TEST(ProgramEntry, TheWindowOfManyDevicesKeepsItsFieldsBesideDataDat) {
    TestFolder folder("programentry_fleet");
    ASSERT_FALSE(folder.Path().empty());
    ProgramEntryHooks hooks;
    hooks.SettingsFile = folder / "data.dat";
    FleetWindowSystem first;
    first.next = {"127.0.0.0/24", "2001", 6, 3, 900, 520, "2,25%,100%", "2"};
    EXPECT_EQ(RunFwUpdate({"-devices"}, first, hooks), 0);
    EXPECT_TRUE(std::filesystem::exists(folder / kFleetSettingsName));
    FleetWindowSystem second;
    second.next = second.atLoop;
    EXPECT_EQ(RunFwUpdate({"-devices"}, second, hooks), 0);
    EXPECT_EQ(second.atLoop, first.next);
}

} // namespace
