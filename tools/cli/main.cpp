// fwupdate-cli: the firmware update without the window, for scripts and production lines.
#include <string>
#include <vector>

#include "base/platform.h"
#include "tools/cli/clicommands.h"

int main(int argc, char** argv) {
    RaiseOpenFileLimit(); // one socket per device: a fleet needs more than the default allows
    return RunCli(std::vector<std::string>(argv + 1, argv + argc));
}
