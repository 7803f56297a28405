// The scan command of fwupdate-cli: connects to every address of a range and identifies what answers;
// --write-list writes what was found as a device list.
#pragma once

#include "tools/cli/clioptions.h"

// Scans o.ScanRange on o.Port; the exit code (see ExitCode): 0 when a device answered, 4 when none
// did, 2 for a bad range, 128 + the signal's number when interrupted.
int RunScan(const CliOptions& o);
