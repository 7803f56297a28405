// The program entry of fwupdate as a function: the mode from the raw command line, the window with its
// settings file, the event loop. main () only calls it; tests run it with their own arguments.
#pragma once

#include <filesystem>
#include <functional>

class Q7Config;

struct ProgramEntryHooks {
    // data.dat to load and store instead of the one beside the program.
    std::filesystem::path SettingsFile;
    // Called once the window is shown, before the event loop runs (a test closes the window there).
    std::function<void(Q7Config&)> Shown;
};

// Runs the window program with the process's own argc/argv; the process's exit code.
int RunFwUpdate(int argc, char** argv, const ProgramEntryHooks& hooks = {});
