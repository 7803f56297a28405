// QtWindowSystem: the QApplication of the window program and its event loop.
#include "app/qt/qtwindowsystem.h"

#include "app/qt/qtfleetwindow.h"
#include "app/qt/qtmainwindow.h"

QtWindowSystem::QtWindowSystem(const char* programName)
    : argv{const_cast<char*>(programName != nullptr ? programName : "fwupdate"), nullptr}, app(argc, argv) {}

std::unique_ptr<MainView> QtWindowSystem::MakeMainView() {
    return std::make_unique<QtMainWindow>();
}

std::unique_ptr<FleetView> QtWindowSystem::MakeFleetView() {
    return std::make_unique<QtFleetWindow>();
}

void QtWindowSystem::Run() {
    QApplication::exec();
}
