// The scan command of fwupdate-cli (the range reader and the scan itself are still to come).
#include "tools/cli/cliscan.h"

#include <cstdio>

int RunScan(const CliOptions& o) {
    std::fprintf(stderr, "fwupdate-cli: scan %s: not available yet\n", o.ScanRange.c_str());
    return kExitInternal;
}
