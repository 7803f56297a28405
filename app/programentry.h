// The program entry of fwupdate without a toolkit: the mode from the command line, the window with its
// settings file, the event loop, in the program's start order. Each toolkit's main () supplies its
// WindowSystem and calls RunFwUpdate; tests run it with their own.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/fleetview.h"
#include "app/mainview.h"

class FleetPresenter;
class Q7Config;

// What one toolkit supplies to the program entry: its windows and its event loop.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;
    // The main window's view, built but not shown.
    virtual std::unique_ptr<MainView> MakeMainView() = 0;
    // The window of many devices' view, built but not shown; nullptr where the toolkit has none.
    virtual std::unique_ptr<FleetView> MakeFleetView() { return nullptr; }
    // Runs the event loop until the operator has closed the window.
    virtual void Run() = 0;
};

struct ProgramEntryHooks {
    // data.dat to load and store instead of the one the program keeps.
    std::filesystem::path SettingsFile;
    // Called once the window is shown, before the event loop runs (a test closes the window there).
    std::function<void(Q7Config&)> Shown;
    // The same for the window of many devices.
    std::function<void(FleetPresenter&)> FleetShown;
};

// The option that opens the window of many devices instead of the main window.
inline constexpr const char* kDevicesOption = "-devices";

// Runs the window program: the main window, or with "-devices" the window of many devices (both take
// "-admin"). arguments: the command line without the program name. The process's exit code.
int RunFwUpdate(const std::vector<std::string>& arguments, WindowSystem& windows,
                const ProgramEntryHooks& hooks = {});
