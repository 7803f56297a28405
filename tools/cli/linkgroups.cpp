// Devices to link managers: at most one device of an address per manager.
#include "tools/cli/linkgroups.h"

#include <map>

#include "link/sockets.h"

std::string DeviceAddressKey(const std::string& host) {
    // The link's own reading of a dotted address, so that both agree on what is one device.
    const uint32_t ip = SockDottedIp(host);
    if (ip != 0xFFFFFFFF)
        return "ip:" + std::to_string(ip);
    return "name:" + host;
}

std::string DeviceKey(const DeviceTarget& device) {
    return DeviceAddressKey(device.Host) + ":" + std::to_string(device.Port);
}

std::vector<int> LinkGroups(const std::vector<DeviceTarget>& devices) {
    std::map<std::string, int> seen;
    std::vector<int> groups;
    groups.reserve(devices.size());
    for (const DeviceTarget& d : devices)
        groups.push_back(seen[DeviceAddressKey(d.Host)]++);
    return groups;
}
