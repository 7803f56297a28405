// The program entry with the Qt window: only "-admin" on the command line counts; Qt's own options reach Qt
// no more.
#include "app/qt/qtwindowsystem.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/fleetpresenter.h"
#include "app/q7config.h"
#include "tests/support/testfolder.h"

namespace {

TEST(QtProgramEntry, RunsTheWindowUntilItClosesAndGivesQtNoneOfTheArguments) {
    TestFolder folder("programentry_test");
    ProgramEntryHooks hooks;
    hooks.SettingsFile = folder / "data.dat";
    std::string title;
    Qt::LayoutDirection direction = Qt::RightToLeft;
    hooks.Shown = [&](Q7Config&) {
        QWidget* window = QApplication::topLevelWidgets().value(0);
        ASSERT_NE(window, nullptr);
        title = window->windowTitle().toStdString();
        direction = QApplication::layoutDirection();
        QTimer::singleShot(0, window, &QWidget::close);
    };
    QtWindowSystem windows("fwupdate");
    // Qt's own options would change the title and the direction if they reached it.
    EXPECT_EQ(RunFwUpdate({"-session", "-qwindowtitle", "Foo", "-reverse", "-admin"}, windows, hooks), 0);
    EXPECT_EQ(title, "FW-Update ADMIN V1.4");
    EXPECT_EQ(direction, Qt::LeftToRight);
    EXPECT_TRUE(std::filesystem::exists(hooks.SettingsFile));
}

TEST(QtProgramEntry, OpensTheWindowOfManyDevicesWithItsOption) {
    TestFolder folder("programentry_devices_test");
    ProgramEntryHooks hooks;
    hooks.SettingsFile = folder / "data.dat";
    std::string title;
    hooks.Shown = [](Q7Config&) { ADD_FAILURE() << "the main window opened"; };
    hooks.FleetShown = [&](FleetPresenter&) {
        QTimer::singleShot(0, [] { QApplication::closeAllWindows(); });
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("QMainWindow"))
                title = w->windowTitle().toStdString();
    };
    QtWindowSystem windows("fwupdate");
    EXPECT_EQ(RunFwUpdate({"-admin", "-devices"}, windows, hooks), 0);
    EXPECT_EQ(title, "FW-Update devices ADMIN V1.4");
}

} // namespace
