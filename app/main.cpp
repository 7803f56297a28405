// Program entry of fwupdate.
#include <cstdio>
#include <cstring>

#include "app/programentry.h"
#include "base/buildinfo.h"

int main(int argc, char** argv) {
    // Answered before the framework starts, so no window opens and no display is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("fwupdate %s\n", kFwUpdateVersion);
            return 0;
        }
    }
    return RunFwUpdate(argc, argv);
}
