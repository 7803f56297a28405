// DropList: a read-only capable drop-down list of (integer key, text) entries.
#include "app/qt/droplist.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

DropList::DropList(QWidget* parent) : QComboBox(parent) {}

void DropList::Add(int key, const QString& text) {
    addItem(text, key);
}

void DropList::SetValue(int key) {
    value = key;
    setCurrentIndex(findData(key)); // -1 (empty field) when the key has no entry
}

void DropList::SetReadOnly(bool on) {
    readOnly = on;
    // A read-only list takes no keyboard focus: the focus passes over it.
    setFocusPolicy(on ? Qt::NoFocus : Qt::StrongFocus);
}

void DropList::showPopup() {
    if (!readOnly)
        QComboBox::showPopup();
}

void DropList::mousePressEvent(QMouseEvent* event) {
    if (readOnly)
        event->accept();
    else
        QComboBox::mousePressEvent(event);
}

void DropList::mouseReleaseEvent(QMouseEvent* event) {
    if (readOnly)
        event->accept();
    else
        QComboBox::mouseReleaseEvent(event);
}

void DropList::mouseDoubleClickEvent(QMouseEvent* event) {
    if (readOnly)
        event->accept();
    else
        QComboBox::mouseDoubleClickEvent(event);
}

void DropList::keyPressEvent(QKeyEvent* event) {
    if (readOnly)
        event->accept();
    else
        QComboBox::keyPressEvent(event);
}

void DropList::wheelEvent(QWheelEvent* event) {
    if (readOnly)
        event->accept();
    else
        QComboBox::wheelEvent(event);
}
