// Win32WindowSystem: the Win32 part of the program entry: the common controls, the main window's view and the
// thread's message loop.
#pragma once

#include <windows.h>

#include "app/programentry.h"

class Win32WindowSystem : public WindowSystem {
public:
    // icon: the resource number of the program's icon.
    Win32WindowSystem(HINSTANCE instance, int icon);

    std::unique_ptr<MainView> MakeMainView() override;
    std::unique_ptr<FleetView> MakeFleetView() override;
    void Run() override;

private:
    HINSTANCE Instance;
    int Icon;
};
