// Devices to link managers: at most one device of an address per manager.
#include "fleet/linkgroups.h"

#include <map>

std::vector<int> LinkGroups(const std::vector<DeviceTarget>& devices) {
    std::map<std::string, int> seen;
    std::vector<int> groups;
    groups.reserve(devices.size());
    for (const DeviceTarget& d : devices)
        groups.push_back(seen[AddressKey(d.Host)]++);
    return groups;
}
