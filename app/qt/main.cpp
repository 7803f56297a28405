// Program entry of fwupdate with the Qt window.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/programentry.h"
#include "app/qt/qtwindowsystem.h"
#include "base/buildinfo.h"
#include "base/platform.h"

int main(int argc, char** argv) {
    // Answered before the framework starts, so no window opens and no display is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("fwupdate %s\n", kFwUpdateVersion);
            return 0;
        }
    }
    // Without a desktop session Qt would abort with a text that blames the installation.
    if (DesktopSessionMissing()) {
        std::fprintf(stderr, "fwupdate: the window needs a desktop session (no DISPLAY or WAYLAND_DISPLAY is "
                             "set); fwupdate-cli updates devices without one\n");
        return 1;
    }
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    QtWindowSystem windows(argc > 0 ? argv[0] : nullptr);
    return RunFwUpdate(arguments, windows);
}
