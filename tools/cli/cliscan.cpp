// The scan command of fwupdate-cli: the command line's values for the scan of devicescan.h.
#include "tools/cli/cliscan.h"

#include "tools/cli/clicommands.h"
#include "tools/cli/devicescan.h"

int RunScan(const CliOptions& o) {
    // The probes' link writes the log as info's does, to --log when given.
    BeginRunLog(o);
    ScanRequest request;
    request.Range = o.ScanRange;
    request.Port = o.ScanPort;
    request.WriteList = o.WriteList;
    request.Json = o.Json;
    request.Timeout = o.Timeout;
    return ScanDevices(request);
}
