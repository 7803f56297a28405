// The device link's internal-consistency check; failures name the source file "device".
#include "link/device.h"

#include <cstdio>
#include <cstdlib>

void DeviceAssertFailed(const char* condition) {
    std::fprintf(stderr, "device: %s\n", condition);
    std::fflush(stderr);
    std::abort();
}
