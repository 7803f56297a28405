// Tests of the main window's presenter Q7Config, driven as an operator would through a recording view: the
// start-up state and titles, connecting to a device that answers (a fake device on 127.0.0.20-29), one that
// stays silent and addresses or ports that do not connect, closing, the session's log, changes from other
// threads, the configuration-file selector, and the update on its own worker while the window stays free.
#include "app/q7config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "app/settings.h"
#include "base/platform.h"
#include "link/conbase.h"
#include "tests/app/erasegate.h"
#include "tests/app/fakedevice.h"
#include "tests/app/recordingmainview.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"
#include "tests/support/waituntil.h"
#include "tests/update/testdevice.h"

namespace fs = std::filesystem;
using Field = MainView::Field;

namespace {

class PresenterTest : public ::testing::Test {
protected:
    void SetUp() override { CfgFolder.clear(); }
    void TearDown() override {
        window.reset();
        link.reset();
    }

    Q7Config& Open(const std::vector<std::string>& arguments = {}, LinkOptions options = {}) {
        link = std::make_unique<ConBase>(options);
        window = std::make_unique<Q7Config>(*link, view, arguments);
        return *window;
    }

    // Types the address and port as an operator would, then presses CONNECT.
    void ConnectTo(const std::string& address, const std::string& port) {
        view.fields[Field::IP] = address;
        view.fields[Field::EDITPORT] = port;
        window->OnConnect();
    }
    void ConnectTo(const std::string& address, int port) { ConnectTo(address, std::to_string(port)); }

    bool AllShown() const { return view.IdentityShown() && view.KennungText() != "-----------"; }

    TestLogFile logFile{"fwwindow"};
    RecordingMainView view; // outlives the presenter
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
};

// ---- Start-up ----

struct TitleCase {
    const char* name;
    std::vector<std::string> arguments;
    bool admin;
};

class StartUp : public PresenterTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(StartUp, TitleFollowsTheExactAdminArgument) {
    Q7Config& w = Open(GetParam().arguments);
    EXPECT_EQ(w.Session.AdminMode, GetParam().admin);
    EXPECT_EQ(view.title, GetParam().admin ? "FW-Update ADMIN V1.4" : "FW-Update OEM=19 V1.4");
}

INSTANTIATE_TEST_SUITE_P(Arguments, StartUp,
                         ::testing::Values(TitleCase{"None", {}, false}, TitleCase{"Admin", {"-admin"}, true},
                                           TitleCase{"AdminAmongOthers", {"x", "-admin", "y"}, true},
                                           TitleCase{"UpperCase", {"-Admin"}, false},
                                           TitleCase{"TwoHyphens", {"--admin"}, false},
                                           TitleCase{"Slash", {"/admin"}, false},
                                           TitleCase{"Longer", {"-admin2"}, false},
                                           TitleCase{"Glued", {"x-admin"}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PresenterTest, FreshStartShowsTheDefaults) {
    Q7Config& w = Open();
    EXPECT_EQ(view.presenter, &w);
    EXPECT_EQ(view.Text(Field::IP), "192.168.10.10");
    EXPECT_EQ(view.Text(Field::EDITPORT), "2000");
    EXPECT_EQ(view.KennungText(), "-----------");
    EXPECT_EQ(view.kennungKey, -1);
    EXPECT_EQ(view.connectLabel, "Connect");
    EXPECT_EQ(view.Text(Field::info2), "---");
    EXPECT_EQ(view.fields.count(Field::info1), 0u); // nothing ever writes it
    EXPECT_FALSE(view.online);
    EXPECT_EQ(w.Session.CurrentDevice, 0);
    EXPECT_EQ(w.Session.Online, 0);
    for (Field f : {Field::VERSION, Field::DSPMODSERIAL, Field::MODE, Field::DSPMODNAME, Field::OEMUSERNAME,
                    Field::OEMDEVICENAME, Field::OEMLIBNAME})
        EXPECT_EQ(view.fields.count(f), 0u) << RecordingMainView::Name(f);
}

TEST_F(PresenterTest, KennungListHoldsTheOemIdsInOrder) {
    Open();
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "0 Test"},     {1, "1 VSKSONIC"},  {2, "2 BOOTLOADER"}, {11, "11 KORVAL"},  {12, "12 TINSEM"},
        {13, "13 PALURO"}, {14, "14 VEXTON"},  {15, "15 GRAMIKO"},  {16, "16 SOLVEIR"}, {17, "17 NUPTAR"},
        {18, "18 ZELMOR"}, {19, "19 FARQUIN"}, {20, "20 Bridvel"},  {-1, "-----------"}};
    EXPECT_EQ(view.kennungEntries, expected);
}

// ---- Connecting and closing ----

TEST_F(PresenterTest, DeviceThatAnswersFillsEveryDisplay) {
    FakeDevice device("127.0.0.20");
    Q7Config& w = Open();
    ConnectTo("127.0.0.20", device.Port());
    EXPECT_EQ(view.connectLabel, "Close"); // at once
    EXPECT_NE(w.Session.CurrentDevice, 0);
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    EXPECT_EQ(w.Session.Online, 1);
    EXPECT_EQ(view.Text(Field::VERSION), "HWV=1.4");
    EXPECT_EQ(view.Text(Field::DSPMODSERIAL), "00000123");
    EXPECT_EQ(view.Text(Field::MODE), "1Fh");
    EXPECT_EQ(view.Text(Field::DSPMODNAME), "DSP-Q7");
    EXPECT_EQ(view.Text(Field::OEMUSERNAME), "Farquin Audio");
    EXPECT_EQ(view.Text(Field::OEMDEVICENAME), "Q7 Stage");
    EXPECT_EQ(view.Text(Field::OEMLIBNAME), "LIB-2.31");
    EXPECT_EQ(view.KennungText(), "19 FARQUIN");
    EXPECT_TRUE(w.Session.KennungReported);
    EXPECT_TRUE(w.Session.SerialReported);

    // The nine identification requests, in this order, before anything else.
    const std::vector<std::pair<int, int>> identification = {{1, 2}, {1, 3}, {1, 5}, {1, 6}, {1, 12},
                                                             {9, 2}, {9, 7}, {9, 8}, {9, 9}};
    auto requests = device.Requests();
    ASSERT_GE(requests.size(), identification.size());
    requests.resize(identification.size());
    EXPECT_EQ(requests, identification);
}

TEST_F(PresenterTest, CloseTurnsTheButtonAtOnceAndOfflineAfterClosedKeepingTheValues) {
    FakeDevice device("127.0.0.21");
    Q7Config& w = Open();
    ConnectTo("127.0.0.21", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    const int handle = w.Session.CurrentDevice;

    w.OnConnect();
    EXPECT_EQ(view.connectLabel, "Connect"); // at once; the device closes its side a moment later
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0; }));
    EXPECT_EQ(link->IsOpen(handle), 0);
    EXPECT_FALSE(view.online);
    EXPECT_EQ(w.Session.Online, 0);
    EXPECT_EQ(view.Text(Field::DSPMODSERIAL), "00000123");
    EXPECT_EQ(view.Text(Field::OEMLIBNAME), "LIB-2.31");
    EXPECT_EQ(view.KennungText(), "19 FARQUIN");
    EXPECT_EQ(link->Remove(handle), -1); // removed by the CLOSED handling
    EXPECT_TRUE(view.WaitFor([&] { return !device.Connected(); }));

    // Connecting again opens a new device handle.
    ConnectTo("127.0.0.21", device.Port());
    EXPECT_EQ(view.connectLabel, "Close");
    EXPECT_GT(w.Session.CurrentDevice, handle);
    EXPECT_TRUE(view.WaitFor([&] { return view.online; }));
}

TEST_F(PresenterTest, SilentDeviceStaysOfflineUntilTheSilenceTimeOutCloses) {
    FakeDevice device("127.0.0.22");
    device.SetSilent(true);
    LinkOptions fast;
    fast.TickPeriod = std::chrono::microseconds(1000); // 1000 ticks of silence take about a second
    Q7Config& w = Open({}, fast);
    ConnectTo("127.0.0.22", device.Port());
    EXPECT_EQ(view.connectLabel, "Close");
    ASSERT_TRUE(view.WaitFor([&] { return device.Requests().size() >= 9; }));
    EXPECT_FALSE(view.online);
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(view.connectLabel, "Connect");
    EXPECT_FALSE(view.online);
    EXPECT_EQ(w.Session.Online, 0);
    EXPECT_EQ(view.Text(Field::VERSION), "");
}

struct NoOpenCase {
    const char* name;
    const char* address;
    const char* port; // typed into EDITPORT
};

class NoConnection : public PresenterTest, public ::testing::WithParamInterface<NoOpenCase> {};

TEST_P(NoConnection, LeavesTheWindowDisconnectedWithoutAMessage) {
    Q7Config& w = Open();
    ConnectTo(GetParam().address, GetParam().port);
    EXPECT_EQ(view.connectLabel, "Connect");
    EXPECT_EQ(w.Session.CurrentDevice, 0);
    view.RunPosted();
    EXPECT_EQ(view.statusText, "");
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(link->GetMsgCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, NoConnection,
                         ::testing::Values(NoOpenCase{"UnresolvableAddress", "no such host!", "2000"},
                                           NoOpenCase{"EmptyPort", "127.0.0.23", ""},
                                           NoOpenCase{"PortZero", "127.0.0.23", "0"},
                                           NoOpenCase{"PortBeyond65535", "127.0.0.23", "65536"},
                                           NoOpenCase{"NullIntegerPort", "127.0.0.23", "-2147483648"},
                                           NoOpenCase{"PortWithLetters", "127.0.0.23", "20x0"},
                                           NoOpenCase{"EmptyAddress", "", "2000"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PresenterTest, UnknownOemIdShowsAnEmptyList) {
    FakeDevice device("127.0.0.24");
    device.SetValues(1, 5, {5});
    Q7Config& w = Open();
    ConnectTo("127.0.0.24", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.KennungReported.load(); }));
    EXPECT_EQ(view.KennungText(), "");
    EXPECT_EQ(view.kennungKey, 5);
}

TEST_F(PresenterTest, SessionLogHasTheLinesInOrder) {
    FakeDevice device("127.0.0.25");
    Q7Config& w = Open();
    ConnectTo("127.0.0.25", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    w.OnConnect();
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0; }));

    const std::vector<std::string> expected = {
        "Q7Config::MsgCallback: CONNECTED",
        "Q7Config::MsgCallback: MSG Obj(1,2)",
        "Q7Config::MsgCallback: MSG I32",
        "Q7Config::MsgCallback: MSG Obj(1,3)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::ReceivedSerial: SERIAL=123",
        "Q7Config::MsgCallback: MSG Obj(1,5)",
        "Q7Config::MsgCallback: MSG I32",
        "Q7Config::MsgCallback: MSG Obj(1,6)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::CheckDevice: Mode=31",
        "Q7Config::MsgCallback: MSG Obj(1,12)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::ReceivedVersion: VERSION=HWV=1.4",
        "Q7Config::MsgCallback: MSG Obj(9,2)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::ReceivedName: NAME=DSP-Q7",
        "Q7Config::MsgCallback: MSG Obj(9,7)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::ReceivedOEMName: NAME=Farquin Audio",
        "Q7Config::MsgCallback: MSG Obj(9,8)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::CheckDevice: ReceivedDeviceName=Q7 Stage",
        "Q7Config::MsgCallback: MSG Obj(9,9)",
        "Q7Config::MsgCallback: MSG I32",
        "VskComTest::CheckDevice: ReceivedLibraryName=LIB-2.31",
        "Q7Config::MsgCallback: CLOSED",
    };
    std::vector<std::string> lines = logFile.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("* ", 0), 0u); // the header
    lines.erase(lines.begin());
    // Keep-alive replies (Obj(0,1)) may come in between; everything else is exactly this.
    std::vector<std::string> session;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "Q7Config::MsgCallback: MSG Obj(0,1)") {
            ++i; // its "MSG I32"
            continue;
        }
        session.push_back(lines[i]);
    }
    EXPECT_EQ(session, expected);
}

// ---- Changes from other threads ----

TEST_F(PresenterTest, ChangesFromAnotherThreadArePostedAndNeverWait) {
    Q7Config& w = Open();
    view.RunPosted();
    std::thread worker([&] {
        w.SetDisplayText(UpdateView::Display::VERSION, "HWV=9.9");
        w.SetKennung(11);
        w.SetOnline(true);
        w.ShowTimed("Firmwareupdate OK", 2000);
    });
    worker.join(); // returns although the UI thread has run nothing meanwhile
    EXPECT_EQ(view.Text(Field::VERSION), "");
    ASSERT_TRUE(view.WaitFor([&] { return view.Text(Field::VERSION) == "HWV=9.9"; }));
    EXPECT_EQ(view.KennungText(), "11 KORVAL");
    EXPECT_TRUE(view.online);
    EXPECT_EQ(view.statusText, "Firmwareupdate OK");
}

TEST_F(PresenterTest, MsgCallbackFromAWorkerUpdatesTheWindowLater) {
    Q7Config& w = Open();
    Msg m;
    m.Handle = 3;
    m.Kind = KIND_VALUE;
    m.Type = TYPE_I32;
    m.Obj = 1;
    m.Par = 3;
    m.Count = 1;
    m.Len = 4;
    m.Buf.I32 = 4711;
    link->PushMsg(3, m);
    std::thread worker([&] { w.Session.MsgCallback(3); });
    worker.join();
    EXPECT_EQ(w.Session.Serial, 4711);
    EXPECT_EQ(link->GetMsgCount(), 0);
    ASSERT_TRUE(view.WaitFor([&] { return view.Text(Field::DSPMODSERIAL) == "00004711"; }));
}

TEST_F(PresenterTest, WindowCanGoWhileTheDeviceStillTalks) {
    FakeDevice device("127.0.0.26");
    Open();
    ConnectTo("127.0.0.26", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return window->Session.Online == 1; }));
    window.reset(); // the link lives on and keeps notifying nobody
    ASSERT_TRUE(WaitUntil([&] { return device.Requests().size() > 9; })); // a keep-alive went and came back
    view.RunPosted(); // what was posted before finds nobody
    link.reset();
}

// ---- The configuration-file selector ----

TEST_F(PresenterTest, CancelledSelectorChangesNothing) {
    Q7Config& w = Open();
    CfgFolder = "/srv/firmware";
    view.nextChoice.reset();
    w.OnUpdateFirmware();
    EXPECT_EQ(view.chooserStarts, std::vector<std::string>{"/srv/firmware"});
    EXPECT_EQ(CfgFolder, "/srv/firmware");
    EXPECT_FALSE(w.UpdateRunning());
    view.RunPosted();
    EXPECT_TRUE(view.boxes.empty());
}

TEST_F(PresenterTest, ChosenFileSetsTheFolder) {
    Q7Config& w = Open();
    CfgFolder = "/srv/firmware";
    const fs::path dir = fs::temp_directory_path() / ("fwcfg-" + std::to_string(ProcessId()));
    view.nextChoice = PathToUtf8(dir / "q7.cfg");
    w.OnUpdateFirmware();
    EXPECT_EQ(CfgFolder, PathToUtf8(dir));
    // The file does not exist: the update worker says so and ends.
    ASSERT_TRUE(view.WaitFor([&] { return !w.UpdateRunning(); }));
    EXPECT_EQ(view.boxes, std::vector<std::string>{"Error on reading config file"});
    view.nextChoice.reset();
    w.OnUpdateFirmware();
    EXPECT_EQ(view.chooserStarts.back(), PathToUtf8(dir));
}

// ---- The update on its worker ----

// A release beside its configuration, and a device whose erase lasts until the test lets it end.
class UpdateWorker : public PresenterTest {
protected:
    void SetUp() override {
        PresenterTest::SetUp();
        ASSERT_FALSE(dir.empty());
        ConfigFields fields;
        fields.Filename = "DSPMAIN.bin";
        ASSERT_TRUE(WriteRelease(dir + "/DSPMAIN.bin", DemoImage(3 * 256 + 5, 7), fields, cfg));
    }
    void TearDown() override {
        gate.Open(); // a test that failed early must not leave the worker waiting
        PresenterTest::TearDown();
    }

    TestFolder folder{"q7config_worker"};
    const std::string dir = folder.Path();
    const std::string cfg = dir + "/fw.cfg";
    EraseGate gate;
};

TEST_F(UpdateWorker, RunsWhileTheWindowAnswersAndTakesNoSecondStartOrClose) {
    FakeDevice device("127.0.0.28");
    Q7Config& w = Open();
    w.Session.SetUpdateClock(&gate.Clock());
    ConnectTo("127.0.0.28", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    const int handle = w.Session.CurrentDevice;

    view.nextChoice = cfg;
    w.OnUpdateFirmware(); // returns at once: the UI thread is free while the device erases
    EXPECT_TRUE(w.UpdateRunning());
    EXPECT_TRUE(view.updateRunning);
    ASSERT_TRUE(view.WaitFor([&] { return gate.Erasing(); }));
    // The progress keeps moving on the UI thread.
    ASSERT_TRUE(view.WaitFor([&] { return view.progress == "Firmware Update: 1/10"; }));

    // Neither button starts a second update or closes the device under the running one; the close box is
    // refused with a message.
    w.OnConnect();
    EXPECT_NE(link->IsOpen(handle), 0);
    EXPECT_EQ(view.connectLabel, "Close");
    w.OnUpdateFirmware();
    EXPECT_EQ(view.chooserStarts.size(), 1u);
    EXPECT_FALSE(w.OnCloseRequest());
    EXPECT_EQ(view.boxes, std::vector<std::string>{Q7Config::kUpdateRunningText});

    gate.Open();
    ASSERT_TRUE(view.WaitFor([&] { return !w.UpdateRunning(); }, std::chrono::seconds(20)));
    EXPECT_FALSE(view.updateRunning);
    EXPECT_FALSE(view.progress.has_value());
    EXPECT_EQ(view.statusText, "Firmwareupdate OK");
    EXPECT_TRUE(w.OnCloseRequest());
    EXPECT_EQ(view.connectLabel, "Close"); // the device stays connected
}

TEST_F(UpdateWorker, TheProgramsEndBeforeTheWorkerReachedTheUpdateStartStopsItBeforeItsFirstWrite) {
    FakeDevice device("127.0.0.28");
    Q7Config& w = Open();
    w.Session.SetUpdateClock(&gate.Clock());
    ConnectTo("127.0.0.28", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    // The end is asked for before the worker's update start, which clears the request it finds.
    w.Session.StopForGood();
    view.nextChoice = cfg;
    w.OnUpdateFirmware();
    ASSERT_TRUE(view.WaitFor([&] { return !w.UpdateRunning(); })) << "the update ran on to the erase";
    EXPECT_FALSE(gate.Erasing());
    EXPECT_EQ(view.statusText, "Firmwareupdate ERROR");
}

TEST_F(UpdateWorker, ReadsAConfigurationInAFolderNamedBeyondAscii) {
    // Written into the test's folder, then moved into one named as users name theirs ("Jürgen Ж").
    const std::string named = dir + "/J\xC3\xBCrgen \xD0\x96";
    ASSERT_TRUE(fs::create_directory(PathFromUtf8(named)));
    for (const char* file : {"/fw.cfg", "/DSPMAIN.bin"})
        fs::rename(PathFromUtf8(dir + file), PathFromUtf8(named + file));
    FakeDevice device("127.0.0.29");
    Q7Config& w = Open();
    w.Session.SetUpdateClock(&gate.Clock());
    gate.Open();
    ConnectTo("127.0.0.29", device.Port());
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    view.nextChoice = named + "/fw.cfg";
    w.OnUpdateFirmware();
    ASSERT_TRUE(view.WaitFor([&] { return !w.UpdateRunning(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(view.boxes.empty()) << view.boxes.front();
    EXPECT_EQ(view.statusText, "Firmwareupdate OK");
    EXPECT_TRUE(fs::equivalent(PathFromUtf8(CfgFolder), PathFromUtf8(named)));
}

} // namespace
