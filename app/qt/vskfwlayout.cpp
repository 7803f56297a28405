// The layout operation of VSKFWLAYOUT and the resize rule of its view.
#include "app/qt/vskfwlayout.h"

#include <QApplication>

QFont VskFwLayoutInfo::DesignFont() {
    QFont font = QApplication::font();
    font.setPixelSize(kDesignFontPixels);
    return font;
}

void VskFwLayoutInfo::Layout(Ui_VSKFWLAYOUT& form, VskFwView* view) {
    view->setObjectName(QStringLiteral("VSKFWLAYOUT_VIEW")); // the window itself bears "VSKFWLAYOUT"
    form.setupUi(view); // creates, places and names the controls in list order (vskfwlayout.ui)
    form.KENNUNG->SetReadOnly(true);
}

void VskFwView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (auto* connect = findChild<QPushButton*>(QStringLiteral("CONNECT"), Qt::FindDirectChildrenOnly)) {
        const QRect r = connect->geometry();
        const int w = width() - VskFwLayoutInfo::kConnectLeft - VskFwLayoutInfo::kConnectRight;
        connect->setGeometry(VskFwLayoutInfo::kConnectLeft, r.y(), qMax(0, w), r.height());
    }
}
