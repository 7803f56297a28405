// Tests of the layout VSKFWLAYOUT: every control's id, kind, text, tooltip and place, the list order that is
// also the focus order, the stretched CONNECT button, the read-only drop list and the integer field.
#include "app/qt/vskfwlayout.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "app/vskfwlayoutitems.h"
#include "tests/app/qt/qtenvironment.h"

namespace {

// The Qt class of each kind of control.
const char* QtClassOf(LayoutKind kind) {
    switch (kind) {
    case LayoutKind::PushButton:
        return "QPushButton";
    case LayoutKind::DropList:
        return "QComboBox";
    case LayoutKind::TextField:
    case LayoutKind::IntField:
        return "QLineEdit";
    default:
        return "QLabel";
    }
}

class LayoutTest : public ::testing::Test {
protected:
    LayoutTest() { window.resize(WithVSKFWLAYOUT<QWidget>::GetLayoutSize()); }
    QWidget* Find(const char* id) { return window.findChild<QWidget*>(QString::fromLatin1(id)); }

    WithVSKFWLAYOUT<QWidget> window;
};

class LayoutItemTest : public LayoutTest, public ::testing::WithParamInterface<LayoutItem> {};

TEST_P(LayoutItemTest, HasItsIdKindTextTooltipAndPlace) {
    const LayoutItem& item = GetParam();
    QWidget* w = Find(item.Id);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->inherits(QtClassOf(item.Kind)));
    EXPECT_EQ(w->geometry(), QRect(item.X, item.Y, item.Width, item.Height));
    EXPECT_EQ(w->toolTip(), QString::fromLatin1(item.Tooltip));
    if (auto* label = qobject_cast<QLabel*>(w)) {
        EXPECT_EQ(label->text(), QString::fromLatin1(item.Text));
    }
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        EXPECT_EQ(button->text(), QString::fromLatin1(item.Text));
    }
}

INSTANTIATE_TEST_SUITE_P(All, LayoutItemTest, ::testing::ValuesIn(kVskFwLayout),
                         [](const auto& info) { return std::string(info.param.Id); });

TEST_F(LayoutTest, ControlsStandInListOrder) {
    QStringList ids;
    for (QObject* child : window.LayoutView().children())
        if (child->isWidgetType())
            ids << child->objectName();
    QStringList expected;
    for (const LayoutItem& item : kVskFwLayout)
        expected << QString::fromLatin1(item.Id);
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

TEST_F(LayoutTest, ValueDisplaysAreFramedAndTakeNoFocus) {
    for (const LayoutItem& item : kVskFwLayout) {
        if (item.Kind != LayoutKind::ValueDisplay)
            continue;
        auto* display = qobject_cast<QLabel*>(Find(item.Id));
        ASSERT_NE(display, nullptr) << item.Id;
        EXPECT_NE(display->frameShape(), QFrame::NoFrame) << item.Id;
        EXPECT_EQ(display->focusPolicy(), Qt::NoFocus) << item.Id;
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
