// The scan command of fwupdate-cli: connects to every address of a range and identifies what answers.
#pragma once

#include "tools/cli/clioptions.h"

// Scans o.ScanRange on o.ScanPort; the exit code (see ExitCode in clioptions.h).
int RunScan(const CliOptions& o);
