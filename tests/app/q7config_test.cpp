// Tests of the main window Q7Config driven like an operator would: start-up state and titles, the status
// bar, connecting to a device that answers, one that stays silent and an address that cannot be resolved,
// closing, the session's log, display changes from another thread, and the configuration-file selector.
#include "app/q7config.h"

#include <QImage>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "app/settings.h"
#include "base/log.h"
#include "link/conbase.h"
#include "tests/app/fakedevice.h"
#include "tests/app/qtenvironment.h"
#include "tests/support/testlog.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 5000; // ms; every wait ends as soon as its condition holds

QColor PixelColour(QWidget& w, QPoint at) {
    return w.grab().toImage().pixelColor(at);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { CfgFolder.clear(); }
    void TearDown() override { window.reset(); }

    Q7Config& Open(const QStringList& arguments = {}, LinkOptions options = {}) {
        link = std::make_unique<ConBase>(options);
        window = std::make_unique<Q7Config>(
            *link, arguments,
            [this](const QString& start) {
                chooserStarts << start;
                return nextChoice;
            },
            [this](const QString& text) { boxes << text; });
        window->show();
        return *window;
    }

    void ConnectTo(const std::string& address, int port) {
        Q7Config& w = *window;
        w.IP.clear();
        QTest::keyClicks(&w.IP, QString::fromStdString(address));
        w.EDITPORT.clear();
        QTest::keyClicks(&w.EDITPORT, QString::number(port));
        QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    }

    bool AllShown() const {
        const Q7Config& w = *window;
        return w.onlineDisplay.isOnline && !w.VERSION.text().isEmpty() && !w.DSPMODSERIAL.text().isEmpty() &&
               !w.MODE.text().isEmpty() && !w.DSPMODNAME.text().isEmpty() &&
               !w.OEMUSERNAME.text().isEmpty() && !w.OEMDEVICENAME.text().isEmpty() &&
               !w.OEMLIBNAME.text().isEmpty() && w.KENNUNG.currentText() != QStringLiteral("-----------");
    }

    TestLogFile logFile{"fwwindow"};
    std::unique_ptr<ConBase> link;
    std::unique_ptr<Q7Config> window;
    QString nextChoice;
    QStringList chooserStarts;
    QStringList boxes;
};

// ---- Start-up ----

struct TitleCase {
    const char* name;
    QStringList arguments;
    bool admin;
};

class StartUp : public WindowTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(StartUp, TitleFollowsTheExactAdminArgument) {
    Q7Config& w = Open(GetParam().arguments);
    EXPECT_EQ(w.AdminMode, GetParam().admin);
    EXPECT_EQ(w.windowTitle(), GetParam().admin ? QStringLiteral("FW-Update ADMIN V1.4")
                                                : QStringLiteral("FW-Update OEM=19 V1.4"));
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

TEST_F(WindowTest, FreshStartShowsTheDefaults) {
    Q7Config& w = Open();
    EXPECT_EQ(w.IP.text(), QStringLiteral("192.168.10.10"));
    EXPECT_EQ(w.EDITPORT.text(), QStringLiteral("2000"));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("-----------"));
    EXPECT_EQ(w.KENNUNG.GetValue(), -1);
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Connect"));
    EXPECT_EQ(w.info2.text(), QStringLiteral("---"));
    EXPECT_EQ(w.info1.text(), QString());
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.CurrentDevice, 0);
    EXPECT_EQ(w.Online, 0);
    for (QLabel* display : {&w.DATE, &w.VERSION, &w.DSPMODSERIAL, &w.MODE, &w.DSPMODNAME, &w.OEMUSERNAME,
                            &w.OEMDEVICENAME, &w.OEMLIBNAME})
        EXPECT_EQ(display->text(), QString()) << display->objectName().toStdString();
    EXPECT_EQ(w.menuWidget(), nullptr);
}

TEST_F(WindowTest, KennungListHoldsTheOemIdsInOrder) {
    Q7Config& w = Open();
    const std::vector<std::pair<int, const char*>> expected = {
        {0, "0 Test"},     {1, "1 VSKSONIC"},  {2, "2 BOOTLOADER"}, {11, "11 KORVAL"},  {12, "12 TINSEM"},
        {13, "13 PALURO"}, {14, "14 VEXTON"},  {15, "15 GRAMIKO"},  {16, "16 SOLVEIR"}, {17, "17 NUPTAR"},
        {18, "18 ZELMOR"}, {19, "19 FARQUIN"}, {20, "20 Bridvel"},  {-1, "-----------"}};
    ASSERT_EQ(w.KENNUNG.count(), static_cast<int>(expected.size()));
    for (int i = 0; i < w.KENNUNG.count(); ++i) {
        EXPECT_EQ(w.KENNUNG.itemData(i).toInt(), expected[i].first);
        EXPECT_EQ(w.KENNUNG.itemText(i), QString::fromLatin1(expected[i].second));
    }
}

TEST_F(WindowTest, WindowHasTheFixedDesignSize) {
    Q7Config& w = Open();
    EXPECT_EQ(w.size(), QSize(432, 412));
    EXPECT_EQ(w.minimumSize(), QSize(432, 412));
    EXPECT_EQ(w.maximumSize(), QSize(432, 412));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    // CONNECT spans x 104 to 332 of the window.
    const QRect connect(w.CONNECT.mapTo(&w, QPoint(0, 0)), w.CONNECT.size());
    EXPECT_EQ(connect.left(), 104);
    EXPECT_EQ(connect.right() + 1, 332);
    EXPECT_EQ(connect.top(), 68);
}

TEST_F(WindowTest, StatusBarReadsMainAreaInfo2Info1OnlineFromLeftToRight) {
    Q7Config& w = Open();
    QTest::qWait(0);
    EXPECT_EQ(w.info2.width(), 50);
    EXPECT_EQ(w.info1.width(), 120);
    EXPECT_EQ(w.onlineDisplay.width(), 48);
    EXPECT_LT(w.info2.x() + w.info2.width(), w.info1.x() + 1);
    EXPECT_LT(w.info1.x() + w.info1.width(), w.onlineDisplay.x() + 1);
    EXPECT_GE(w.onlineDisplay.x() + w.onlineDisplay.width(), w.status.width() - 8); // at the right end
    EXPECT_GT(w.info2.x(), 100); // room for the main text area at the left
    EXPECT_EQ(w.statusBar(), &w.status);
}

TEST_F(WindowTest, OnlineFieldIsPureRedOfflineAndPureGreenOnline) {
    Q7Config& w = Open();
    OnlineDisplay& field = w.onlineDisplay;
    const QPoint corner(field.width() - 2, field.height() - 2); // away from the text
    EXPECT_EQ(PixelColour(field, corner), QColor(255, 0, 0));
    w.SetOnline(true);
    EXPECT_TRUE(field.isOnline);
    EXPECT_EQ(PixelColour(field, corner), QColor(0, 255, 0));
    // The text is drawn in black at the top-left.
    const QImage image = field.grab().toImage();
    bool black = false;
    for (int y = 0; y < image.height() / 2 + 4 && !black; ++y)
        for (int x = 0; x < image.width() / 2 && !black; ++x)
            black = image.pixelColor(x, y).value() < 80;
    EXPECT_TRUE(black);
}

// ---- Connecting and closing ----

TEST_F(WindowTest, DeviceThatAnswersFillsEveryDisplay) {
    FakeDevice device("127.0.0.20");
    Q7Config& w = Open();
    ConnectTo("127.0.0.20", device.Port());
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Close")); // at once
    EXPECT_NE(w.CurrentDevice, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return AllShown(); }, kWait));
    EXPECT_EQ(w.Online, 1);
    EXPECT_EQ(w.VERSION.text(), QStringLiteral("HWV=1.4"));
    EXPECT_EQ(w.DSPMODSERIAL.text(), QStringLiteral("00000123"));
    EXPECT_EQ(w.MODE.text(), QStringLiteral("1Fh"));
    EXPECT_EQ(w.DSPMODNAME.text(), QStringLiteral("DSP-Q7"));
    EXPECT_EQ(w.OEMUSERNAME.text(), QStringLiteral("Farquin Audio"));
    EXPECT_EQ(w.OEMDEVICENAME.text(), QStringLiteral("Q7 Stage"));
    EXPECT_EQ(w.OEMLIBNAME.text(), QStringLiteral("LIB-2.31"));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("19 FARQUIN"));
    EXPECT_EQ(w.DATE.text(), QString());
    EXPECT_TRUE(w.KennungReported);
    EXPECT_TRUE(w.SerialReported);

    // The nine identification requests, in this order, before anything else.
    const std::vector<std::pair<int, int>> identification = {{1, 2}, {1, 3}, {1, 5}, {1, 6}, {1, 12},
                                                             {9, 2}, {9, 7}, {9, 8}, {9, 9}};
    auto requests = device.Requests();
    ASSERT_GE(requests.size(), identification.size());
    requests.resize(identification.size());
    EXPECT_EQ(requests, identification);

    if (const char* dir = std::getenv("FWUPDATE_SCREENSHOT_DIR")) {
        QTest::qWait(50);
        w.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/window.png"));
    }
}

TEST_F(WindowTest, CloseTurnsTheButtonAtOnceAndOfflineAfterClosedKeepingTheValues) {
    FakeDevice device("127.0.0.21");
    Q7Config& w = Open();
    ConnectTo("127.0.0.21", device.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return AllShown(); }, kWait));
    const int handle = w.CurrentDevice;

    QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Connect")); // at once
    EXPECT_EQ(link->IsOpen(handle), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.CurrentDevice == 0; }, kWait));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.Online, 0);
    EXPECT_EQ(w.DSPMODSERIAL.text(), QStringLiteral("00000123"));
    EXPECT_EQ(w.OEMLIBNAME.text(), QStringLiteral("LIB-2.31"));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("19 FARQUIN"));
    EXPECT_EQ(link->Remove(handle), -1); // removed by the CLOSED handling
    EXPECT_TRUE(QTest::qWaitFor([&] { return !device.Connected(); }, kWait));

    // Connecting again opens a new device handle.
    ConnectTo("127.0.0.21", device.Port());
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Close"));
    EXPECT_GT(w.CurrentDevice, handle);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.onlineDisplay.isOnline; }, kWait));
}

TEST_F(WindowTest, SilentDeviceStaysOfflineUntilTheSilenceTimeOutCloses) {
    FakeDevice device("127.0.0.22");
    device.SetSilent(true);
    LinkOptions fast;
    fast.TickPeriod = std::chrono::microseconds(1000); // 1000 ticks of silence take about a second
    Q7Config& w = Open({}, fast);
    ConnectTo("127.0.0.22", device.Port());
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Close"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return device.Requests().size() >= 9; }, kWait));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.CurrentDevice == 0; }, 4 * kWait));
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Connect"));
    EXPECT_FALSE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.Online, 0);
    EXPECT_EQ(w.VERSION.text(), QString());
}

struct NoOpenCase {
    const char* name;
    const char* address;
    const char* port; // typed into EDITPORT
};

class NoConnection : public WindowTest, public ::testing::WithParamInterface<NoOpenCase> {};

TEST_P(NoConnection, LeavesTheWindowDisconnectedWithoutAMessage) {
    Q7Config& w = Open();
    w.IP.setText(QString::fromLatin1(GetParam().address));
    w.EDITPORT.setText(QString::fromLatin1(GetParam().port));
    QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Connect"));
    EXPECT_EQ(w.CurrentDevice, 0);
    QTest::qWait(20);
    EXPECT_EQ(w.status.currentMessage(), QString());
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(link->GetMsgCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, NoConnection,
                         ::testing::Values(NoOpenCase{"UnresolvableAddress", "no such host!", "2000"},
                                           NoOpenCase{"EmptyPort", "127.0.0.23", ""},
                                           NoOpenCase{"PortZero", "127.0.0.23", "0"},
                                           NoOpenCase{"EmptyAddress", "", "2000"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, UnknownOemIdShowsAnEmptyList) {
    FakeDevice device("127.0.0.24");
    device.SetValues(1, 5, {5});
    Q7Config& w = Open();
    ConnectTo("127.0.0.24", device.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.KennungReported.load(); }, kWait));
    EXPECT_EQ(w.KENNUNG.currentText(), QString());
    EXPECT_EQ(w.KENNUNG.GetValue(), 5);
}

TEST_F(WindowTest, SessionLogHasTheLinesInOrder) {
    FakeDevice device("127.0.0.25");
    Q7Config& w = Open();
    ConnectTo("127.0.0.25", device.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return AllShown(); }, kWait));
    QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.CurrentDevice == 0; }, kWait));

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

// ---- Display changes from another thread ----

TEST_F(WindowTest, ChangesFromAnotherThreadArePostedAndNeverWait) {
    Q7Config& w = Open();
    std::thread worker([&] {
        w.SetDisplayText(UpdateView::Display::VERSION, "HWV=9.9");
        w.SetKennung(11);
        w.SetOnline(true);
        w.ShowTimed("Firmwareupdate OK", 2000);
    });
    worker.join(); // returns although the GUI thread has run no event meanwhile
    EXPECT_EQ(w.VERSION.text(), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.VERSION.text() == QStringLiteral("HWV=9.9"); }, kWait));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("11 KORVAL"));
    EXPECT_TRUE(w.onlineDisplay.isOnline);
    EXPECT_EQ(w.status.currentMessage(), QStringLiteral("Firmwareupdate OK"));
}

TEST_F(WindowTest, MsgCallbackFromAWorkerUpdatesTheWindowLater) {
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
    std::thread worker([&] { w.MsgCallback(3); });
    worker.join();
    EXPECT_EQ(w.Serial, 4711);
    EXPECT_EQ(link->GetMsgCount(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.DSPMODSERIAL.text() == QStringLiteral("00004711"); }, kWait));
}

TEST_F(WindowTest, InfoBoxAndProgressGoThroughTheWindow) {
    Q7Config& w = Open();
    w.InfoBox("Update not allowed: Serial");
    EXPECT_EQ(boxes, QStringList{"Update not allowed: Serial"});
    w.Progress("Firmware Update:", 3, 10);
    auto* bar = w.status.findChild<QProgressBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), 3);
    EXPECT_EQ(bar->maximum(), 10);
    w.ProgressEnd();
    EXPECT_EQ(w.status.findChild<QProgressBar*>(), nullptr);
}

TEST_F(WindowTest, WindowCanGoWhileTheDeviceStillTalks) {
    FakeDevice device("127.0.0.26");
    Open();
    ConnectTo("127.0.0.26", device.Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->Online == 1; }, kWait));
    window.reset(); // the link lives on and keeps notifying nobody
    QTest::qWait(30);
    link.reset();
}

// ---- The configuration-file selector ----

TEST_F(WindowTest, CancelledSelectorChangesNothing) {
    Q7Config& w = Open();
    CfgFolder = "/srv/firmware";
    nextChoice.clear();
    QTest::mouseClick(&w.UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(chooserStarts, QStringList{"/srv/firmware"});
    EXPECT_EQ(CfgFolder, "/srv/firmware");
    EXPECT_TRUE(boxes.isEmpty());
}

TEST_F(WindowTest, ChosenFileSetsTheFolder) {
    Q7Config& w = Open();
    CfgFolder = "/srv/firmware";
    const fs::path dir = fs::temp_directory_path() / ("fwcfg-" + std::to_string(::getpid()));
    nextChoice = QString::fromStdString((dir / "q7.cfg").string());
    QTest::mouseClick(&w.UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(CfgFolder, dir.string());
    nextChoice.clear();
    QTest::mouseClick(&w.UPDATEFIRMWARE, Qt::LeftButton);
    EXPECT_EQ(chooserStarts.last(), QString::fromStdString(dir.string()));
}

} // namespace
