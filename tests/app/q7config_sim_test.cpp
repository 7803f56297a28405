// Tests of the main window against the device simulator fwdevsim on 127.0.0.27: what the window shows for
// the identities it plays, over a slow or noisy link, and when the device hangs up, refuses or leaves the
// online objects unanswered.
#include "app/q7config.h"

#include <QTest>
#include <gtest/gtest.h>

#include "link/conbase.h"
#include "tests/app/qtenvironment.h"
#include "tests/tools/simprocess.h"

namespace {

constexpr int kWait = 8000; // ms; every wait ends as soon as its condition holds
constexpr char kAddress[] = "127.0.0.27";

struct Shown {
    QString kennung, version, serial, mode, name, oemName, deviceName, libraryName;
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
    Q7Config& Open(LinkOptions options = {}) {
        link = std::make_unique<ConBase>(options);
        window = std::make_unique<Q7Config>(
            *link, QStringList{}, [](const QString&) { return QString(); }, [](const QString&) {});
        window->show();
        return *window;
    }
    void Connect() {
        window->IP.setText(QString::fromLatin1(kAddress));
        window->EDITPORT.SetValue(simPort);
        QTest::mouseClick(&window->CONNECT, Qt::LeftButton);
    }
    bool AllShown() const {
        const Q7Config& w = *window;
        return w.onlineDisplay.isOnline && !w.VERSION.text().isEmpty() && !w.DSPMODSERIAL.text().isEmpty() &&
               !w.MODE.text().isEmpty() && !w.DSPMODNAME.text().isEmpty() &&
               !w.OEMUSERNAME.text().isEmpty() && !w.OEMDEVICENAME.text().isEmpty() &&
               !w.OEMLIBNAME.text().isEmpty() && w.KennungReported;
    }
    void TearDown() override {
        window.reset();
        link.reset();
    }

    SimProcess sim;
    int simPort = 0;
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
};

class SimIdentityShown : public SimWindow, public ::testing::WithParamInterface<SimCase> {};

TEST_P(SimIdentityShown, EveryDisplayShowsWhatTheDeviceReports) {
    StartSim(GetParam().options);
    Q7Config& w = Open();
    Connect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return AllShown(); }, kWait));
    const Shown& s = GetParam().shown;
    EXPECT_EQ(w.KENNUNG.currentText(), s.kennung);
    EXPECT_EQ(w.VERSION.text(), s.version);
    EXPECT_EQ(w.DSPMODSERIAL.text(), s.serial);
    EXPECT_EQ(w.MODE.text(), s.mode);
    EXPECT_EQ(w.DSPMODNAME.text(), s.name);
    EXPECT_EQ(w.OEMUSERNAME.text(), s.oemName);
    EXPECT_EQ(w.OEMDEVICENAME.text(), s.deviceName);
    EXPECT_EQ(w.OEMLIBNAME.text(), s.libraryName);
    EXPECT_EQ(w.OEMDEVICENAME.textFormat(), Qt::PlainText);

    // Close: the device sees the tool go, and the window keeps what it showed.
    QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.CurrentDevice == 0; }, kWait));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.VERSION.text(), s.version);
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
                {"19 FARQUIN", "HWV=1.4", "12345678", "1Fh", QString::fromUtf8("M\xC3\xBCller"),
                 QString::fromUtf8("M\xC3\xBCller"), "<b>x</b>", "Lib 1.4"}},
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
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.CurrentDevice == 0 && w.CONNECT.text() == "Connect"; }, kWait));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.Online, 0);
}

TEST_F(SimWindow, RefusedConnectionLeavesTheWindowDisconnected) {
    StartSim({"--refuse"});
    Q7Config& w = Open();
    Connect();
    // Refused at once, or soon after through CLOSED: either way the window ends Disconnected.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.CurrentDevice == 0 && w.CONNECT.text() == "Connect"; }, kWait));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
}

TEST_F(SimWindow, DeviceWithoutOnlineRepliesStaysOffline) {
    StartSim({"--no-answer", "1,2", "--no-answer", "1,12"});
    Q7Config& w = Open();
    Connect();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.OEMLIBNAME.text().isEmpty(); }, kWait)); // the last reply
    EXPECT_EQ(w.Online, 0);
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.VERSION.text(), QString());
    EXPECT_EQ(w.DSPMODSERIAL.text(), QStringLiteral("12345678"));
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Close"));
}

} // namespace
