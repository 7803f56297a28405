// OnlineDisplay: paints the whole field green or red with the black text ONLINE or OFFLINE at its top-left.
#include "app/qt/onlinedisplay.h"

#include <QPainter>

OnlineDisplay::OnlineDisplay(QWidget* parent) : QLabel(parent) {}

void OnlineDisplay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), isOnline ? QColor(0, 255, 0) : QColor(255, 0, 0));
    painter.setFont(font()); // the window's standard font
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop,
                     isOnline ? QStringLiteral("ONLINE") : QStringLiteral("OFFLINE"));
}
