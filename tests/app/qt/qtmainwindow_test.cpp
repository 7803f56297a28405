// Tests of the Qt window QtMainWindow: what only its drawing shows (the fixed design size, the status bar's
// fields and colours, the progress indicator, device texts as plain text), and its buttons and close box
// reaching the presenter, here with a fake device on 127.0.0.30-31.
#include "app/qt/qtmainwindow.h"

#include <QImage>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/q7config.h"
#include "app/settings.h"
#include "link/conbase.h"
#include "tests/app/erasegate.h"
#include "tests/app/fakedevice.h"
#include "tests/app/qt/qtenvironment.h"
#include "tests/support/release.h"
#include "tests/support/testfolder.h"
#include "tests/tools/simprocess.h"

namespace {

constexpr int kWait = 8000; // ms; every wait ends as soon as its condition holds

QColor PixelColour(QWidget& w, QPoint at) {
    return w.grab().toImage().pixelColor(at);
}

class QtWindowTest : public ::testing::Test {
protected:
    void SetUp() override { CfgFolder.clear(); }
    void TearDown() override {
        gate.Open();
        presenter.reset();
        window.reset();
        link.reset();
    }

    QtMainWindow& Open() {
        link = std::make_unique<ConBase>();
        window = std::make_unique<QtMainWindow>(
            [this](const QString& start) {
                chooserStarts << start;
                return chosen;
            },
            [this](const QString& text) { boxes << text; });
        presenter = std::make_unique<Q7Config>(*link, *window, std::vector<std::string>{});
        window->Show();
        return *window;
    }

    // Types the address and port and presses CONNECT, as an operator would.
    void ConnectTo(const std::string& address, int port) {
        QtMainWindow& w = *window;
        w.IP.clear();
        QTest::keyClicks(&w.IP, QString::fromStdString(address));
        w.EDITPORT.clear();
        QTest::keyClicks(&w.EDITPORT, QString::number(port));
        QTest::mouseClick(&w.CONNECT, Qt::LeftButton);
    }

    EraseGate gate;
    std::unique_ptr<ConBase> link;
    std::unique_ptr<QtMainWindow> window; // outlives the presenter
    std::unique_ptr<Q7Config> presenter;
    QString chosen;
    QStringList chooserStarts;
    QStringList boxes;
};

TEST_F(QtWindowTest, WindowHasTheFixedDesignSize) {
    QtMainWindow& w = Open();
    EXPECT_EQ(w.size(), QSize(432, 412));
    EXPECT_EQ(w.minimumSize(), QSize(432, 412));
    EXPECT_EQ(w.maximumSize(), QSize(432, 412));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.menuWidget(), nullptr);
    // CONNECT spans x 104 to 332 of the window.
    const QRect connect(w.CONNECT.mapTo(&w, QPoint(0, 0)), w.CONNECT.size());
    EXPECT_EQ(connect.left(), 104);
    EXPECT_EQ(connect.right() + 1, 332);
    EXPECT_EQ(connect.top(), 68);
}

TEST_F(QtWindowTest, StatusBarReadsMainAreaInfo2Info1OnlineFromLeftToRight) {
    QtMainWindow& w = Open();
    QTest::qWait(0);
    EXPECT_EQ(w.info2.width(), 50);
    EXPECT_EQ(w.info1.width(), 120);
    EXPECT_EQ(w.onlineDisplay.width(), 48);
    EXPECT_LT(w.info2.x() + w.info2.width(), w.info1.x() + 1);
    EXPECT_LT(w.info1.x() + w.info1.width(), w.onlineDisplay.x() + 1);
    EXPECT_GE(w.onlineDisplay.x() + w.onlineDisplay.width(), w.status.width() - 8); // at the right end
    EXPECT_GT(w.info2.x(), 100); // room for the main text area at the left
    EXPECT_EQ(w.statusBar(), &w.status);
    EXPECT_EQ(w.info2.text(), QStringLiteral("---"));
}

TEST_F(QtWindowTest, OnlineFieldIsPureRedOfflineAndPureGreenOnline) {
    QtMainWindow& w = Open();
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

TEST_F(QtWindowTest, ProgressShowsItsCaptionAndBarInTheStatusBar) {
    QtMainWindow& w = Open();
    w.Progress("Firmware Update:", 3, 10);
    auto* bar = w.status.findChild<QProgressBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), 3);
    EXPECT_EQ(bar->maximum(), 10);
    w.ProgressEnd();
    EXPECT_EQ(w.status.findChild<QProgressBar*>(), nullptr);
}

// The caption and the bar are placed before the first paint, which may come before any other event (under a
// real X server a bar placed for an empty caption covers all of it but "Fi"). The offscreen platform hides
// this: the test command runs this test under Xvfb with Qt's xcb platform as well.
TEST_F(QtWindowTest, ProgressCaptionIsShownWholeBesideTheBar) {
    QtMainWindow& w = Open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (int position = 0; position <= 2; ++position) { // as the update's wait loop moves it
        w.Progress("Firmware Update:", position, 10);
        auto* bar = w.status.findChild<QProgressBar*>();
        ASSERT_NE(bar, nullptr);
        QLabel* caption = nullptr;
        for (QLabel* label : w.status.findChildren<QLabel*>())
            if (label->text() == QStringLiteral("Firmware Update:"))
                caption = label;
        ASSERT_NE(caption, nullptr);
        const int needed = caption->fontMetrics().horizontalAdvance(caption->text());
        EXPECT_GE(caption->contentsRect().width(), needed) << "at " << position;
        EXPECT_GE(bar->x(), caption->x() + needed) << "at " << position;
        QTest::qWait(20);
    }
}

TEST_F(QtWindowTest, DeviceTextsAreShownAsPlainText) {
    QtMainWindow& w = Open();
    w.SetFieldText(MainView::Field::OEMDEVICENAME, "<b>x</b>");
    EXPECT_EQ(w.OEMDEVICENAME.textFormat(), Qt::PlainText);
    EXPECT_EQ(w.OEMDEVICENAME.text(), QStringLiteral("<b>x</b>"));
}

TEST_F(QtWindowTest, ButtonsReachThePresenter) {
    FakeDevice device("127.0.0.30");
    QtMainWindow& w = Open();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("FW-Update OEM=19 V1.4"));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("-----------"));
    ConnectTo("127.0.0.30", device.Port());
    EXPECT_EQ(w.CONNECT.text(), QStringLiteral("Close"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.onlineDisplay.isOnline && w.OEMLIBNAME.text() == QStringLiteral("LIB-2.31"); },
        kWait));
    EXPECT_EQ(w.KENNUNG.currentText(), QStringLiteral("19 FARQUIN"));
    EXPECT_EQ(w.DSPMODSERIAL.text(), QStringLiteral("00000123"));

    CfgFolder = "/srv/firmware";
    QTest::mouseClick(&w.UPDATEFIRMWARE, Qt::LeftButton); // the chooser is cancelled
    EXPECT_EQ(chooserStarts, QStringList{"/srv/firmware"});
}

TEST_F(QtWindowTest, CloseBoxKeepsTheWindowWhileAnUpdateRuns) {
    TestFolder folder("qtmainwindow_test");
    ASSERT_FALSE(folder.Path().empty());
    ConfigFields fields;
    fields.Filename = "DSPMAIN.bin";
    ASSERT_TRUE(
        WriteRelease(folder.Path() + "/DSPMAIN.bin", DemoImage(700, 3), fields, folder.Path() + "/fw.cfg"));
    FakeDevice device("127.0.0.31");
    QtMainWindow& w = Open();
    presenter->Session.SetUpdateClock(&gate.Clock());
    ConnectTo("127.0.0.31", device.Port());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.KENNUNG.currentText() == QStringLiteral("19 FARQUIN"); }, kWait));

    chosen = QString::fromStdString(folder.Path() + "/fw.cfg");
    QTest::mouseClick(&w.UPDATEFIRMWARE, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.Erasing(); }, kWait));
    EXPECT_FALSE(w.CONNECT.isEnabled());
    EXPECT_FALSE(w.UPDATEFIRMWARE.isEnabled());
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(boxes, QStringList{QString::fromLatin1(Q7Config::kUpdateRunningText)});

    gate.Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.status.currentMessage() == "Firmwareupdate OK"; }, kWait));
    // The buttons come back as the update's call returns, just after its result is shown.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.CONNECT.isEnabled() && w.UPDATEFIRMWARE.isEnabled(); }, kWait));
    // The result stays for 2000 ms.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.status.currentMessage().isEmpty(); }, 4000));
    EXPECT_TRUE(w.close());
}

// The picture in docs/: with FWUPDATE_SCREENSHOT_DIR set (under Xvfb with Qt's xcb platform), the window
// connected to the simulator on the address and port of scripts/run.sh.
TEST_F(QtWindowTest, ScreenshotConnectedToTheSimulator) {
    const char* dir = std::getenv("FWUPDATE_SCREENSHOT_DIR");
    if (dir == nullptr)
        GTEST_SKIP() << "FWUPDATE_SCREENSHOT_DIR names no folder for the picture";
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start(FWDEVSIM_PATH, {"--address", "127.0.0.1", "--port", "2000", "--no-reconnect-port"}));
    ASSERT_TRUE(sim.WaitListening().has_value()) << sim.ErrText();
    QtMainWindow& w = Open();
    ConnectTo("127.0.0.1", 2000);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.onlineDisplay.isOnline && !w.OEMLIBNAME.text().isEmpty(); }, kWait));
    QTest::qWait(100);
    EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/window.png")));
}

} // namespace
