// OnlineDisplay: the status bar field at the right end of the main window that reads ONLINE on pure green
// or OFFLINE on pure red.
#pragma once

#include <QLabel>

class OnlineDisplay : public QLabel {
public:
    explicit OnlineDisplay(QWidget* parent = nullptr);

    // Writers set it, then ask the field to repaint (update()).
    bool isOnline = false;

protected:
    void paintEvent(QPaintEvent* event) override;
};
