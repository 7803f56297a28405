// Tests of the main window's presenter against the device simulator fwdevsim on 127.0.0.27: what the window
// shows for the identities it plays, over a slow or noisy link, and when the device hangs up, refuses or
// leaves the online objects unanswered.
#include "app/q7config.h"

#include <gtest/gtest.h>

#include "link/conbase.h"
#include "tests/app/recordingmainview.h"
#include "tests/tools/simprocess.h"

namespace {

using Field = MainView::Field;
constexpr char kAddress[] = "127.0.0.27";

struct Shown {
    std::string kennung, version, serial, mode, name, oemName, deviceName, libraryName;
};

struct SimCase {
    const char* name;
    std::vector<std::string> options; // fwdevsim options beyond address and port
    Shown shown;
};

class SimWindow : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string>& options) {
        const auto port = sim.StartDevice(FWDEVSIM_PATH, kAddress, options);
        ASSERT_TRUE(port.has_value()) << sim.ErrText();
        simPort = *port;
    }
    Q7Config& Open() {
        link = std::make_unique<ConBase>();
        window = std::make_unique<Q7Config>(*link, view, std::vector<std::string>{});
        return *window;
    }
    void Connect() {
        view.fields[Field::IP] = kAddress;
        view.fields[Field::EDITPORT] = std::to_string(simPort);
        window->OnConnect();
    }
    bool AllShown() const { return view.IdentityShown() && window->Session.KennungReported; }
    void TearDown() override {
        window.reset();
        link.reset();
    }

    SimProcess sim;
    int simPort = 0;
    RecordingMainView view; // outlives the presenter
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
};

class SimIdentityShown : public SimWindow, public ::testing::WithParamInterface<SimCase> {};

TEST_P(SimIdentityShown, EveryDisplayShowsWhatTheDeviceReports) {
    StartSim(GetParam().options);
    Q7Config& w = Open();
    Connect();
    ASSERT_TRUE(view.WaitFor([&] { return AllShown(); }));
    const Shown& s = GetParam().shown;
    EXPECT_EQ(view.KennungText(), s.kennung);
    EXPECT_EQ(view.Text(Field::VERSION), s.version);
    EXPECT_EQ(view.Text(Field::DSPMODSERIAL), s.serial);
    EXPECT_EQ(view.Text(Field::MODE), s.mode);
    EXPECT_EQ(view.Text(Field::DSPMODNAME), s.name);
    EXPECT_EQ(view.Text(Field::OEMUSERNAME), s.oemName);
    EXPECT_EQ(view.Text(Field::OEMDEVICENAME), s.deviceName);
    EXPECT_EQ(view.Text(Field::OEMLIBNAME), s.libraryName);

    // Close: the device sees the tool go, and the window keeps what it showed.
    w.OnConnect();
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0; }));
    EXPECT_FALSE(view.online);
    EXPECT_EQ(view.Text(Field::VERSION), s.version);
    const auto json = sim.NextJson(std::chrono::seconds(5));
    ASSERT_TRUE(json.has_value());
    EXPECT_NE(json->find("\"end\":\"peer-close\""), std::string::npos) << *json;
}

const Shown kDefault{"19 FARQUIN", "HWV=1.4", "12345678", "1Fh", "DSP-Q7", "OEM User", "Q7 Demo", "Lib 1.4"};

INSTANTIATE_TEST_SUITE_P(
    Identities, SimIdentityShown,
    ::testing::Values(
        SimCase{"Default", {}, kDefault},
        SimCase{"Other",
                {"--oem", "11", "--serial", "123", "--version", "65535.0", "--mode", "0", "--name",
                 "ABCDEFGHIJKLMNOP", "--oem-name", "A", "--device-name", "Stage Left", "--library-name", "L"},
                {"11 KORVAL", "HWV=65535.0", "00000123", "0h", "ABCDEFGHIJKLMNOP", "A", "Stage Left", "L"}},
        // Latin-1 and UTF-8 names side by side; markup in a name is text.
        SimCase{"DeviceTextEncodings",
                {"--name", "M\xFCller", "--oem-name", "M\xC3\xBCller", "--device-name", "<b>x</b>"},
                {"19 FARQUIN", "HWV=1.4", "12345678", "1Fh", "M\xC3\xBCller", "M\xC3\xBCller", "<b>x</b>",
                 "Lib 1.4"}},
        SimCase{"UnknownOemId",
                {"--oem", "5"},
                {"", "HWV=1.4", "12345678", "1Fh", "DSP-Q7", "OEM User", "Q7 Demo", "Lib 1.4"}},
        SimCase{"ByteByByte", {"--byte-by-byte"}, kDefault},
        SimCase{"GarbageBeforeReplies", {"--garbage"}, kDefault},
        SimCase{"SlowReplies", {"--delay-ms", "200"}, kDefault}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimWindow, DeviceThatHangsUpEndsTheConnection) {
    StartSim({"--hang-up"});
    Q7Config& w = Open();
    Connect();
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0 && view.connectLabel == "Connect"; }));
    EXPECT_FALSE(view.online);
    EXPECT_EQ(w.Session.Online, 0);
}

TEST_F(SimWindow, RefusedConnectionLeavesTheWindowDisconnected) {
    StartSim({"--refuse"});
    Q7Config& w = Open();
    Connect();
    // Refused at once, or soon after through CLOSED: either way the window ends Disconnected.
    ASSERT_TRUE(view.WaitFor([&] { return w.Session.CurrentDevice == 0 && view.connectLabel == "Connect"; }));
    EXPECT_FALSE(view.online);
}

TEST_F(SimWindow, DeviceWithoutOnlineRepliesStaysOffline) {
    StartSim({"--no-answer", "1,2", "--no-answer", "1,12"});
    Q7Config& w = Open();
    Connect();
    ASSERT_TRUE(view.WaitFor([&] { return !view.Text(Field::OEMLIBNAME).empty(); })); // the last reply
    EXPECT_EQ(w.Session.Online, 0);
    EXPECT_FALSE(view.online);
    EXPECT_EQ(view.Text(Field::VERSION), "");
    EXPECT_EQ(view.Text(Field::DSPMODSERIAL), "12345678");
    EXPECT_EQ(view.connectLabel, "Close");
}

} // namespace
