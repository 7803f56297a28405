// Tests of the layout VSKFWLAYOUT: every control's id, kind, text, tooltip and place, the list order that is
// also the focus order, the stretched CONNECT button, the read-only drop list and the integer field.
#include "app/qt/vskfwlayout.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/app/qt/qtenvironment.h"

namespace {

struct Item {
    const char* id;
    const char* kind; // Qt class
    const char* text;
    QRect place;
};

// The 23 items in list order.
const Item kItems[] = {
    {"CONNECT", "QPushButton", "Connect", {104, 68, 228, 24}},
    {"DATE", "QLabel", "", {208, 160, 124, 19}},
    {"dv___2", "QLabel", "Version", {108, 136, 96, 21}},
    {"dv___3", "QLabel", "Date", {108, 160, 96, 21}},
    {"dv___4", "QLabel", "Seriennummer", {108, 184, 96, 21}},
    {"dv___5", "QLabel", "Mode", {108, 208, 96, 21}},
    {"dv___6", "QLabel", "ManName", {108, 232, 96, 21}},
    {"dv___7", "QLabel", "UserName", {108, 256, 96, 21}},
    {"dv___8", "QLabel", "OemDeviceName", {108, 280, 96, 21}},
    {"DSPMODSERIAL", "QLabel", "", {208, 184, 124, 19}},
    {"DSPMODNAME", "QLabel", "", {208, 232, 124, 19}},
    {"MODE", "QLabel", "", {208, 208, 124, 19}},
    {"OEMLIBNAME", "QLabel", "", {208, 304, 124, 19}},
    {"OEMUSERNAME", "QLabel", "", {208, 256, 124, 19}},
    {"OEMDEVICENAME", "QLabel", "", {208, 280, 124, 19}},
    {"dv___15", "QLabel", "Kennung", {108, 112, 96, 21}},
    {"KENNUNG", "QComboBox", "", {208, 112, 124, 19}},
    {"VERSION", "QLabel", "", {208, 136, 124, 19}},
    {"dv___18", "QLabel", "LibraryName", {108, 304, 96, 21}},
    {"UPDATEFIRMWARE", "QPushButton", "Update Firmware", {156, 344, 120, 24}},
    {"EDITPORT", "QLineEdit", "", {288, 32, 48, 21}},
    {"dv___21", "QLabel", "IP", {132, 32, 28, 21}},
    {"IP", "QLineEdit", "", {160, 32, 124, 21}},
};

const char* const kValueDisplays[] = {"DATE",       "DSPMODSERIAL", "DSPMODNAME",    "MODE",
                                      "OEMLIBNAME", "OEMUSERNAME",  "OEMDEVICENAME", "VERSION"};

class LayoutTest : public ::testing::Test {
protected:
    LayoutTest() { window.resize(WithVSKFWLAYOUT<QWidget>::GetLayoutSize()); }
    QWidget* Find(const char* id) { return window.findChild<QWidget*>(QString::fromLatin1(id)); }

    WithVSKFWLAYOUT<QWidget> window;
};

class LayoutItem : public LayoutTest, public ::testing::WithParamInterface<Item> {};

TEST_P(LayoutItem, HasItsIdKindTextAndPlace) {
    const Item& item = GetParam();
    QWidget* w = Find(item.id);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->inherits(item.kind));
    EXPECT_EQ(w->geometry(), item.place);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        EXPECT_EQ(label->text(), QString::fromLatin1(item.text));
    }
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        EXPECT_EQ(button->text(), QString::fromLatin1(item.text));
    }
}

INSTANTIATE_TEST_SUITE_P(All, LayoutItem, ::testing::ValuesIn(kItems),
                         [](const auto& info) { return std::string(info.param.id); });

TEST_F(LayoutTest, ControlsStandInListOrder) {
    QStringList ids;
    for (QObject* child : window.LayoutView().children())
        if (child->isWidgetType())
            ids << child->objectName();
    QStringList expected;
    for (const Item& item : kItems)
        expected << QString::fromLatin1(item.id);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(window.objectName(), QStringLiteral("VSKFWLAYOUT"));
}

TEST_F(LayoutTest, MembersAreTheNamedControls) {
    EXPECT_EQ(&window.CONNECT, Find("CONNECT"));
    EXPECT_EQ(&window.KENNUNG, Find("KENNUNG"));
    EXPECT_EQ(&window.EDITPORT, Find("EDITPORT"));
    EXPECT_EQ(&window.IP, Find("IP"));
    EXPECT_EQ(&window.dv___21, Find("dv___21"));
}

TEST_F(LayoutTest, Tooltips) {
    EXPECT_EQ(window.EDITPORT.toolTip(), QStringLiteral("Enter Id"));
    EXPECT_EQ(window.IP.toolTip(), QStringLiteral("Enter IP-Adresse \"192.168.1.100\""));
}

TEST_F(LayoutTest, ValueDisplaysAreFramedAndTakeNoFocus) {
    for (const char* id : kValueDisplays) {
        auto* display = qobject_cast<QLabel*>(Find(id));
        ASSERT_NE(display, nullptr) << id;
        EXPECT_NE(display->frameShape(), QFrame::NoFrame) << id;
        EXPECT_EQ(display->focusPolicy(), Qt::NoFocus) << id;
    }
    EXPECT_EQ(window.dv___21.frameShape(), QFrame::NoFrame); // plain text
}

TEST_F(LayoutTest, FocusMovesConnectUpdateFirmwarePortAddress) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.CONNECT.setFocus();
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(order, (QStringList{"CONNECT", "UPDATEFIRMWARE", "EDITPORT", "IP", "CONNECT"}));
}

TEST_F(LayoutTest, ConnectFollowsTheWidthAtItsMargins) {
    window.show();
    window.resize(532, 412);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.CONNECT.geometry() == QRect(104, 68, 328, 24); }, 2000));
    window.resize(432, 412);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.CONNECT.geometry() == QRect(104, 68, 228, 24); }, 2000));
}

TEST_F(LayoutTest, DropListCannotBeChangedByTheOperator) {
    window.KENNUNG.Add(1, "one");
    window.KENNUNG.Add(2, "two");
    window.KENNUNG.SetValue(1);
    window.show();
    QTest::mouseClick(&window.KENNUNG, Qt::LeftButton);
    QTest::keyClick(&window.KENNUNG, Qt::Key_Down);
    EXPECT_EQ(window.KENNUNG.currentText(), QStringLiteral("one"));
    EXPECT_EQ(window.KENNUNG.view()->isVisible(), false);
    EXPECT_TRUE(window.KENNUNG.IsReadOnly());
}

TEST_F(LayoutTest, DropListShowsNothingForAKeyWithoutEntry) {
    window.KENNUNG.Add(19, "19 FARQUIN");
    window.KENNUNG.SetValue(5);
    EXPECT_EQ(window.KENNUNG.currentText(), QString());
    EXPECT_EQ(window.KENNUNG.GetValue(), 5);
    window.KENNUNG.SetValue(19);
    EXPECT_EQ(window.KENNUNG.currentText(), QStringLiteral("19 FARQUIN"));
}

// ---- The integer field ----

struct IntText {
    const char* text;
    bool typable;                 // the field lets the operator type it
    std::optional<int32_t> value; // what the field then holds
};

class IntegerField : public ::testing::TestWithParam<IntText> {};

TEST_P(IntegerField, AcceptsEvery32BitIntegerButTheNullInteger) {
    const IntText& c = GetParam();
    IntValidator validator;
    QString text = QString::fromLatin1(c.text);
    int pos = 0;
    EXPECT_EQ(validator.validate(text, pos) != QValidator::Invalid, c.typable);
    EXPECT_EQ(IntValidator::Parse(text), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerField,
    ::testing::Values(IntText{"", true, std::nullopt}, IntText{"-", true, std::nullopt},
                      IntText{"2000", true, 2000}, IntText{"0", true, 0}, IntText{"-1", true, -1},
                      IntText{"2147483647", true, 2147483647}, IntText{"-2147483647", true, -2147483647},
                      IntText{"-2147483648", false, std::nullopt}, IntText{"2147483648", false, std::nullopt},
                      IntText{"99999999999999999999", false, std::nullopt},
                      IntText{"12a", false, std::nullopt}, IntText{"+5", false, std::nullopt},
                      IntText{"1,000", false, std::nullopt}));

TEST_F(LayoutTest, PortFieldRefusesWhatIsNotAnInteger) {
    window.show();
    window.EDITPORT.clear();
    QTest::keyClicks(&window.EDITPORT, "2x0-00");
    EXPECT_EQ(window.EDITPORT.text(), QStringLiteral("2000"));
    EXPECT_EQ(window.EDITPORT.GetValue(), 2000);
    window.EDITPORT.clear();
    EXPECT_EQ(window.EDITPORT.GetValue(), std::nullopt);
}

} // namespace
