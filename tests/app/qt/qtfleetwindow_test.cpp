// The Qt window of many devices against one device simulator playing twenty devices on 127.0.0.220-239,
// two of them faulty: scanned, selected, updated and reported through the window's controls, and what the
// table and the report say matches what the devices received; its layout from its least size up (no
// control outside the window, no text that widens it, the extra width to the State column), and the keys.
#include "app/qt/qtfleetwindow.h"

#include <QHeaderView>
#include <QMenu>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
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
            [this](const QString& text) { boxes << text; }, [](const QString&) { return false; });
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
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return w.STATUS.FullText().startsWith(QStringLiteral("Scan ended")); }, kWait))
            << w.STATUS.FullText().toStdString();
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
    ASSERT_EQ(w.SELECTBY.findText(QStringLiteral("HWV=1.4")), w.SELECTBY.count() - 1);
    w.SELECTBY.setCurrentIndex(w.SELECTBY.count() - 1);
    QTest::mouseClick(&w.SELECT, Qt::LeftButton);
    w.DEVICES.item(19, 0)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(w.SELECTION.text().toStdString(), "19 of 20 selected");
    QTest::mouseClick(&w.CONFIG, Qt::LeftButton);
    EXPECT_TRUE(w.CONFIGINFO.FullText().startsWith(QStringLiteral("image checks out: fw.cfg")))
        << w.CONFIGINFO.FullText().toStdString();
    w.JOBS.setValue(10);
    w.RETRIES.setValue(0);
    QTest::mouseClick(&w.UPDATE, Qt::LeftButton);
    EXPECT_FALSE(w.SELECTALL.isEnabled() || w.JOBS.isEnabled()) << "the selection is the run's own";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.STATUS.FullText().startsWith(QStringLiteral("Update ended")); }, kWait))
        << w.STATUS.FullText().toStdString();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QStringLiteral("; ")).toStdString();
    EXPECT_EQ(w.STATUS.FullText().toStdString(),
              "Update ended: 17 OK, 2 incomplete; report: " + dir.Path() + "/last-run.csv");
    const int state = static_cast<int>(FleetColumn::State);
    for (int row = 0; row < 20; ++row) {
        const std::string text = Cell(row, FleetColumn::State);
        const QTableWidgetItem* item = w.DEVICES.item(row, state);
        if (row == 3 || row == 11) {
            EXPECT_EQ(text.rfind("incomplete: failed: update failed: ", 0), 0u) << row << " " << text;
            EXPECT_EQ(item->foreground().color(), QColor(142, 36, 170)) << row;
            EXPECT_TRUE(item->toolTip().startsWith(QStringLiteral("The flash is incomplete"))) << row;
        } else {
            EXPECT_EQ(text, row == 19 ? "found" : "OK") << row;
            EXPECT_EQ(item->icon().isNull(), row == 19) << row;
        }
    }
    EXPECT_EQ(w.OVERALL.value(), 100);
    // The summary stays, naming the two to update again; one click updates them.
    const std::string summary = w.SUMMARY.FullText().toStdString();
    EXPECT_NE(summary.find("flash incomplete: 127.0.0.223" + p + ", 127.0.0.231" + p), std::string::npos)
        << summary;
    EXPECT_TRUE(w.UPDATEREST.isEnabled() && w.RETRYFAILED.isEnabled());
    w.DEVICES.setCurrentCell(3, 0);
    EXPECT_TRUE(w.DETAILS.toPlainText().startsWith(QString::fromStdString("127.0.0.223" + p + "\nState: ")))
        << w.DETAILS.toPlainText().toStdString();

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
    EXPECT_EQ(summary, w.SUMMARY.FullText().toStdString()) << "a save keeps the summary";
    const nlohmann::json saved = nlohmann::json::parse(ReadText(dir / "saved.json"), nullptr, false);
    const nlohmann::json devices = saved.value("devices", nlohmann::json::array());
    ASSERT_EQ(devices.size(), 19u);
    EXPECT_EQ(devices[3].value("result", ""), "failed");
    EXPECT_EQ(devices[4].value("result", ""), "ok");
}

// Every control of the window lies inside it, whole, at the size it has now.
void ExpectEveryControlInside(QtFleetWindow& w) {
    QApplication::processEvents();
    const QRect area = w.rect();
    for (QWidget* c : w.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c) ||
                             qobject_cast<QComboBox*>(c) || qobject_cast<QAbstractSpinBox*>(c) ||
                             qobject_cast<QLabel*>(c) || qobject_cast<QProgressBar*>(c) ||
                             qobject_cast<QAbstractScrollArea*>(c);
        if (!control || c->isWindow() || !c->isVisibleTo(&w) || c->parentWidget() == nullptr ||
            qobject_cast<QAbstractScrollArea*>(c->parentWidget()->parentWidget()))
            continue; // a table's or a combo box's own parts are inside it
        const QRect r(c->mapTo(&w, QPoint(0, 0)), c->size());
        EXPECT_TRUE(area.contains(r)) << c->metaObject()->className() << " " << c->objectName().toStdString()
                                      << " at " << r.x() << "," << r.y() << " " << r.width() << "x"
                                      << r.height() << " outside " << area.width() << "x" << area.height();
        if (auto* b = qobject_cast<QPushButton*>(c)) {
            EXPECT_GE(b->width(), b->minimumSizeHint().width()) << b->objectName().toStdString() << " is cut";
        }
    }
}

TEST_F(QtFleetWindowTest, FitsFromItsLeastSizeAndNoTextWidensIt) {
    QtFleetWindow& w = *window;
    // Texts far wider than the window: the verdict, the summary, the status line, a device's state.
    const std::string wide(400, 'x');
    w.SetConfigInfo("image checksum differs: " + wide, wide);
    w.SetSummary("Last update " + wide, wide);
    w.SetStatus(wide);
    w.SetOverall(31, "stopped at 31 %: " + wide);
    w.SetSelectChoices({"failed", "HWV=" + wide});
    w.RANGE.addItem(QString::fromStdString(wide));
    FleetRow row;
    row.Cells[static_cast<size_t>(FleetColumn::State)] = "incomplete: " + wide;
    row.Tip = "all of it: " + wide;
    w.SetRows(1, {{0, row}});
    EXPECT_LE(w.minimumSizeHint().width(), QtFleetWindow::kLeastWidth);
    EXPECT_LE(w.minimumSizeHint().height(), QtFleetWindow::kLeastHeight);
    w.resize(QtFleetWindow::kLeastWidth, QtFleetWindow::kLeastHeight);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.width() == QtFleetWindow::kLeastWidth; }, kWait));
    EXPECT_EQ(w.height(), QtFleetWindow::kLeastHeight);
    ExpectEveryControlInside(w);
    EXPECT_TRUE(w.CONFIGINFO.text().endsWith(QStringLiteral("…"))) << "cut, its tooltip whole";
    EXPECT_EQ(w.CONFIGINFO.toolTip().toStdString(), wide);
    EXPECT_EQ(w.DEVICES.item(0, 1)->toolTip().toStdString(), "all of it: " + wide);
    EXPECT_GE(w.DEVICES.height(), 4 * w.DEVICES.verticalHeader()->defaultSectionSize()) << "rows to read";
    if (const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR")) // to look at by hand
        w.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/fleet-window-least.png"));

    // Wider: the State column takes the extra width, the others keep theirs.
    const int address = w.DEVICES.columnWidth(0), state = w.DEVICES.columnWidth(1);
    w.resize(QtFleetWindow::kLeastWidth + 600, QtFleetWindow::kLeastHeight + 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.DEVICES.columnWidth(1) > state; }, kWait));
    EXPECT_EQ(w.DEVICES.columnWidth(0), address);
    ExpectEveryControlInside(w);

    // Opened again: inside the screen's work area, at its kept size when that fits.
    if (const QScreen* screen = w.screen()) {
        const QRect work = screen->availableGeometry();
        w.SetInputs({"", "2000", 4, 1, 5000, 5000, "", ""});
        EXPECT_TRUE(work.contains(w.geometry())) << w.geometry().width() << "x" << w.geometry().height();
        std::printf("the window of many devices on a %dx%d work area at %g: %dx%d\n", work.width(),
                    work.height(), w.devicePixelRatioF(), w.width(), w.height());
    }
}

TEST_F(QtFleetWindowTest, KeysScanAddStopAndTheFocusStaysWhereTheOperatorWas) {
    SimProcess sim; // a silent device: a scan waits for it until Esc stops the scan
    const std::optional<int> port = sim.StartDevice(FWDEVSIM_PATH, "127.0.0.240", {"--silent"});
    ASSERT_TRUE(port.has_value()) << sim.ErrText();
    QtFleetWindow& w = *window;
    w.raise();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    // Enter in Address adds; the focus stays in the field.
    w.ADDRESS.setFocus();
    QTest::keyClicks(&w.ADDRESS, QStringLiteral("127.0.0.241:1"));
    QTest::keyClick(&w.ADDRESS, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.DEVICES.rowCount() == 1 && !w.STOP.isEnabled(); }, kWait));
    EXPECT_EQ(QApplication::focusWidget(), &w.ADDRESS);
    // Enter in Range scans; Esc stops it; F5 scans the same again.
    w.RANGE.setEditText(QStringLiteral("127.0.0.240"));
    w.PORT.setText(QString::number(*port));
    w.RANGE.setFocus();
    QTest::keyClick(w.RANGE.lineEdit(), Qt::Key_Return);
    EXPECT_TRUE(w.STOP.isEnabled());
    QTest::keyClick(&w, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.STATUS.FullText().startsWith(QStringLiteral("Scan stopped")); }, kWait))
        << w.STATUS.FullText().toStdString();
    EXPECT_TRUE(QApplication::focusWidget() == &w.RANGE || QApplication::focusWidget() == w.RANGE.lineEdit())
        << QApplication::focusWidget()->metaObject()->className() << " "
        << QApplication::focusWidget()->objectName().toStdString();
    QTest::keyClick(&w, Qt::Key_F5);
    EXPECT_TRUE(w.STOP.isEnabled());
    w.STOP.setFocus(); // pressed with the mouse: the focus goes back where the scan began
    QTest::mouseClick(&w.STOP, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, kWait));
    EXPECT_TRUE(QApplication::focusWidget() == &w.RANGE || QApplication::focusWidget() == w.RANGE.lineEdit());
    // A mnemonic presses its button (after the press's short show): Alt+A selects all.
    const int rows = w.DEVICES.rowCount();
    const QString all = QStringLiteral("%1 of %1 selected").arg(rows);
    QTest::keyClick(&w, Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.SELECTION.text() == all; }, kWait))
        << w.SELECTION.text().toStdString();
    // Space ticks the highlighted row, Delete removes the selected rows.
    presenter->OnSelectNone();
    w.DEVICES.setFocus();
    w.DEVICES.setCurrentCell(0, 3);
    QTest::keyClick(&w.DEVICES, Qt::Key_Space);
    EXPECT_EQ(w.SELECTION.text(), QStringLiteral("1 of %1 selected").arg(rows));
    QTest::keyClick(&w.DEVICES, Qt::Key_Delete);
    EXPECT_EQ(w.DEVICES.rowCount(), rows - 1);
}

// Thirty simulated devices as an operator meets them: 20 current, 4 of another version, 3 of another OEM id,
// one that drops the link once, one that replies with an error, one silent; a 200 KB image. Scanned, the
// version selected, updated, stopped at about a third, scanned again (the results stay), the rest updated
// in one click. Run by hand (it takes minutes) with FWUPDATE_SCREENSHOT_DIR naming a folder, under
// scripts/with-xvfb.sh with QT_QPA_PLATFORM=xcb: the picture of the README (docs/fleet-window.png) is the
// window after the second scan.
TEST_F(QtFleetWindowTest, ScreenshotThirtyDevicesStopped) {
    const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR");
    if (shots == nullptr || *shots == '\0')
        GTEST_SKIP() << "FWUPDATE_SCREENSHOT_DIR names no folder for the picture";
    ConfigFields f;
    f.Filename = "fw.bin";
    ASSERT_TRUE(WriteRelease(dir / "fw.bin", DemoImage(200 * 1024, 3), f, dir / "fw.cfg"));
    SimProcess current, older, foreign, dropping, failing, silent;
    const std::optional<int> port = current.StartDevice(FWDEVSIM_PATH, "127.0.0.200", {"--count", "20"});
    ASSERT_TRUE(port.has_value()) << current.ErrText();
    // On the same port as the others, so that one scan finds them all.
    const std::string p = std::to_string(*port);
    const std::pair<SimProcess*, std::vector<std::string>> others[] = {
        {&older, {"--address", "127.0.0.220", "--count", "4", "--fw-version", "1.3"}},
        {&foreign, {"--address", "127.0.0.224", "--count", "3", "--oem", "7"}},
        {&dropping, {"--address", "127.0.0.227", "--close-after-pages", "200", "--fault-sessions", "2"}},
        {&failing, {"--address", "127.0.0.228", "--error-on-page", "300"}},
        {&silent, {"--address", "127.0.0.229", "--silent"}}};
    for (const auto& [sim, options] : others) {
        std::vector<std::string> all{"--port", p, "--no-reconnect-port"};
        all.insert(all.end(), options.begin(), options.end());
        ASSERT_TRUE(sim->Start(FWDEVSIM_PATH, all) && sim->WaitListening()) << sim->ErrText();
    }
    QtFleetWindow& w = *window;
    w.resize(1100, 640);
    auto scan = [&] {
        w.RANGE.setEditText(QStringLiteral("127.0.0.200-229"));
        w.PORT.setText(QString::fromStdString(p));
        QTest::mouseClick(&w.SCAN, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return w.STATUS.FullText().startsWith(QStringLiteral("Scan ended")); }, kWait));
    };
    scan();
    ASSERT_EQ(w.DEVICES.rowCount(), 30);
    emit w.DEVICES.horizontalHeader()->sectionClicked(static_cast<int>(FleetColumn::Address));
    EXPECT_EQ(Cell(29, FleetColumn::State).rfind("did not identify: ", 0), 0u)
        << Cell(29, FleetColumn::State);
    w.SELECTBY.setCurrentText(QStringLiteral("HWV=1.4"));
    QTest::mouseClick(&w.SELECT, Qt::LeftButton);
    EXPECT_EQ(w.SELECTION.text().toStdString(), "25 of 30 selected");
    QTest::mouseClick(&w.CONFIG, Qt::LeftButton);
    w.JOBS.setValue(8);
    w.RETRIES.setValue(1);
    QTest::mouseClick(&w.UPDATE, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.OVERALL.value() >= 31; }, 10 * kWait));
    QTest::mouseClick(&w.STOP, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, kWait));
    const std::string stopped = w.OVERALLTEXT.FullText().toStdString();
    EXPECT_EQ(stopped.rfind("stopped at ", 0), 0u) << stopped;
    // Scanned again: every result stays on its row.
    std::vector<std::string> states;
    for (int row = 0; row < 30; ++row)
        states.push_back(Cell(row, FleetColumn::State));
    scan();
    for (int row = 0; row < 30; ++row)
        EXPECT_EQ(Cell(row, FleetColumn::State), states[static_cast<size_t>(row)]) << row;
    for (int row = 0; row < 30; ++row)
        if (Cell(row, FleetColumn::State).rfind("incomplete", 0) == 0) {
            w.DEVICES.setCurrentCell(row, 0);
            break;
        }
    QTest::qWait(200); // shown on the screen, for the picture
    EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/fleet-window.png")));
    std::printf("%s\n%s\n", stopped.c_str(), w.SUMMARY.FullText().toStdString().c_str());

    // The rest in one click: each device of the version ends OK, but the one that fails every time.
    ASSERT_TRUE(w.UPDATEREST.isEnabled());
    QTest::mouseClick(&w.UPDATEREST, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, 20 * kWait));
    std::printf("%s\n%s\n", w.OVERALLTEXT.FullText().toStdString().c_str(),
                w.SUMMARY.FullText().toStdString().c_str());
    for (int row = 0; row < 30; ++row) {
        const std::string state = Cell(row, FleetColumn::State);
        const bool versionOk = row < 20 || row >= 27;
        if (row == 28)
            EXPECT_EQ(state.rfind("incomplete: failed: ", 0), 0u) << state;
        else if (row == 29)
            EXPECT_EQ(state.rfind("did not identify", 0), 0u) << state;
        else if (row >= 24 && row < 27)
            EXPECT_EQ(state.rfind("refused by the OEM rule: the device reports OEM id 7", 0), 0u) << state;
        else if (versionOk) {
            EXPECT_EQ(state.rfind("OK", 0), 0u) << row << " " << state;
        }
    }
    QTest::qWait(200);
    EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/fleet-window-rest.png")));
}

// The rollout an operator runs: two devices of HWV=1.3 without a configuration, then forty of HWV=1.4, three
// of them (1, 3, 5) replying with an error to their second page, in waves 2,25%,100% with at most two
// failures, eight at once, HWV=1.4's configuration picked under "By version…". The third failure holds the
// third wave whole while the second wave's others finish; with the simulator started again without faults,
// "Update the rest" finishes the held and failed devices in the waves they had. With FWUPDATE_SCREENSHOT_DIR
// naming a folder (under scripts/with-xvfb.sh, QT_QPA_PLATFORM=xcb), the held run is the README's
// docs/fleet-window-held.png.
TEST_F(QtFleetWindowTest, ARolloutHeldAfterTheThirdFailureIsFinishedOnceTheFaultIsGone) {
    auto sim = std::make_unique<SimProcess>();
    SimProcess older;
    const std::vector<std::string> forty{"--address", "127.0.0.160",         "--count",
                                         "40",        "--no-reconnect-port", "--port"};
    std::vector<std::string> faulty = forty;
    faulty.insert(faulty.end(), {"0", "--error-on-page", "1", "--faulty", "1,3,5"});
    ASSERT_TRUE(sim->Start(FWDEVSIM_PATH, faulty));
    const std::optional<int> port = sim->WaitListening();
    ASSERT_TRUE(port.has_value()) << sim->ErrText();
    const std::string p = std::to_string(*port);
    ASSERT_TRUE(older.Start(FWDEVSIM_PATH, {"--address", "127.0.0.158", "--count", "2", "--fw-version", "1.3",
                                            "--no-reconnect-port", "--port", p}) &&
                older.WaitListening())
        << older.ErrText();
    QtFleetWindow& w = *window;
    w.resize(1100, 640);
    w.RANGE.setEditText(QStringLiteral("127.0.0.158-199"));
    w.PORT.setText(QString::fromStdString(p));
    QTest::mouseClick(&w.SCAN, Qt::LeftButton);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.STATUS.FullText().startsWith(QStringLiteral("Scan ended")); }, kWait));
    emit w.DEVICES.horizontalHeader()->sectionClicked(static_cast<int>(FleetColumn::Address));
    QTimer menuWatch; // HWV=1.4, the menu's second entry, chosen with the keys once it shows
    QObject::connect(&menuWatch, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            menuWatch.stop();
            for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Return})
                QTest::keyClick(menu, key);
        }
    });
    menuWatch.start(10);
    QTest::mouseClick(&w.BYVERSION, Qt::LeftButton);
    EXPECT_EQ(w.CONFIGINFO.FullText().toStdString(), "image checks out: HWV=1.4 fw.cfg, others skipped");
    QTest::mouseClick(&w.SELECTALL, Qt::LeftButton);
    w.JOBS.setValue(8);
    w.RETRIES.setValue(0);
    w.WAVES.setText(QStringLiteral("2,25%,100%"));
    w.MAXFAILED.setText(QStringLiteral("2"));
    QTest::mouseClick(&w.UPDATE, Qt::LeftButton);
    EXPECT_FALSE(w.WAVES.isEnabled() || w.MAXFAILED.isEnabled() || w.BYVERSION.isEnabled())
        << "the run's own";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, 4 * kWait));
    EXPECT_TRUE(w.STATUS.FullText().startsWith(
        QStringLiteral("Update ended: 5 OK, 3 incomplete, 32 held, 2 skipped; held at ")))
        << w.STATUS.FullText().toStdString();
    EXPECT_EQ(w.OVERALL.value(), 100);
    const std::regex held(
        "held: 3 devices failed \\(127\\.0\\.0\\.16[135]:" + p +
        "(, 127\\.0\\.0\\.16[135]:\\d+){2}\\), more than the 2 the rollout allows; not updated");
    for (int row = 0; row < 42; ++row) {
        EXPECT_EQ(Cell(row, FleetColumn::Wave), row < 2 ? "1" : row < 10 ? "2" : "3") << row;
        if (row >= 10) {
            EXPECT_TRUE(std::regex_match(Cell(row, FleetColumn::State), held))
                << Cell(row, FleetColumn::State);
            EXPECT_EQ(w.DEVICES.item(row, 1)->foreground().color(), QColor(0, 121, 107)) << row;
        }
    }
    EXPECT_EQ(Cell(0, FleetColumn::State).rfind("skipped: the device reports HWV=1.3", 0), 0u);
    // Each device's scan, then the updates of the second wave, none of the third.
    for (int lines = 0; lines < 48; ++lines) {
        const std::optional<std::string> line = sim->NextJson();
        ASSERT_TRUE(line.has_value()) << lines;
        const nlohmann::json s = nlohmann::json::parse(*line);
        if (s.value("writes", 0) > 0) {
            EXPECT_LE(s.value("address", ""), "127.0.0.167") << *line;
        }
    }
    if (const char* shots = std::getenv("FWUPDATE_SCREENSHOT_DIR")) {
        w.DEVICES.setCurrentCell(10, 0);
        QTest::qWait(200); // shown on the screen, for the picture
        EXPECT_TRUE(w.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/fleet-window-held.png")));
    }

    sim = std::make_unique<SimProcess>();
    std::vector<std::string> fixed = forty;
    fixed.push_back(p);
    ASSERT_TRUE(sim->Start(FWDEVSIM_PATH, fixed) && sim->WaitListening()) << sim->ErrText();
    ASSERT_TRUE(w.UPDATEREST.isEnabled());
    QTest::mouseClick(&w.UPDATEREST, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.STOP.isEnabled(); }, 4 * kWait));
    EXPECT_EQ(w.OVERALLTEXT.FullText().toStdString(), "ended: 35 OK, 2 skipped");
    for (int row = 2; row < 42; ++row)
        EXPECT_EQ(Cell(row, FleetColumn::State), "OK") << row;
    EXPECT_EQ(Cell(41, FleetColumn::Wave), "3");
}

} // namespace
