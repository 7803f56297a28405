// The program entry: only "-admin" on the command line counts; Qt's own options reach Qt no more.
#include "app/programentry.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/q7config.h"
#include "tests/support/testfolder.h"

namespace {

struct EntryCase {
    const char* label;
    std::vector<std::string> args;
    const char* title;
};

class ProgramEntry : public testing::TestWithParam<EntryCase> {};

TEST_P(ProgramEntry, ReadsTheModeFromTheRawArgumentsAndGivesQtNone) {
    std::vector<std::string> args{"fwupdate"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    TestFolder folder("programentry_test");
    ProgramEntryHooks hooks;
    hooks.SettingsFile = folder / "data.dat";
    std::string title;
    Qt::LayoutDirection direction = Qt::RightToLeft;
    hooks.Shown = [&](Q7Config& window) {
        title = window.windowTitle().toStdString();
        direction = QApplication::layoutDirection();
        QTimer::singleShot(0, &window, &QWidget::close);
    };
    EXPECT_EQ(RunFwUpdate(static_cast<int>(args.size()), argv.data(), hooks), 0);
    EXPECT_EQ(title, GetParam().title);
    EXPECT_EQ(direction, Qt::LeftToRight);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ProgramEntry,
    testing::Values(EntryCase{"SessionBeforeAdmin", {"-session", "-admin"}, "FW-Update ADMIN V1.4"},
                    EntryCase{"WindowTitleOption", {"-qwindowtitle", "Foo", "-admin"}, "FW-Update ADMIN V1.4"},
                    EntryCase{"ReverseOption", {"-reverse"}, "FW-Update OEM=19 V1.4"},
                    EntryCase{"StyleTakesNoArgument", {"-style", "-admin"}, "FW-Update ADMIN V1.4"}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
