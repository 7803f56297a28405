// fwupdate-cli: the firmware update without the window, for scripts and production lines.
#include <string>
#include <vector>

#include "tools/cli/clicommands.h"

int main(int argc, char** argv) {
    return RunCli(std::vector<std::string>(argv + 1, argv + argc));
}
