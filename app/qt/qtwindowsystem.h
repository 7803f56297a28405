// QtWindowSystem: Qt's part of the program entry, the application object and the main window's view. Qt is
// given the program name alone, so none of its own options (-reverse, -qwindowtitle, -session ...) can change
// the window or swallow an argument; its environment variables (QT_QPA_PLATFORM ...) still apply.
#pragma once

#include <QApplication>
#include <memory>

#include "app/programentry.h"

class QtWindowSystem : public WindowSystem {
public:
    explicit QtWindowSystem(const char* programName);

    std::unique_ptr<MainView> MakeMainView() override;
    std::unique_ptr<FleetView> MakeFleetView() override;
    void Run() override;

private:
    int argc = 1;
    char* argv[2];
    QApplication app; // after argc and argv, which it keeps
};
