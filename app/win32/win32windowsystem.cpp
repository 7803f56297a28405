// Win32WindowSystem: the common controls (version 6, from the manifest), the views, the message loop.
#include "app/win32/win32windowsystem.h"

#include <commctrl.h>

#include "app/win32/win32fleetwindow.h"
#include "app/win32/win32mainwindow.h"
#include "app/win32/win32ui.h"

Win32WindowSystem::Win32WindowSystem(HINSTANCE instance, int icon) : Instance(instance), Icon(icon) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_WIN95_CLASSES |
                     ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS;
    InitCommonControlsEx(&controls);
}

std::unique_ptr<MainView> Win32WindowSystem::MakeMainView() {
    return std::make_unique<Win32MainWindow>(Instance, Icon);
}

std::unique_ptr<FleetView> Win32WindowSystem::MakeFleetView() {
    return std::make_unique<Win32FleetWindow>(Instance, Icon);
}

void Win32WindowSystem::Run() {
    RunMessageLoop();
}
