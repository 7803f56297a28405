// Reading a device's address, and telling devices apart.
#include "fleet/devicetarget.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "link/sockets.h"

namespace {

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = std::stol(text);
    port = static_cast<int>(value);
    return value >= 1 && value <= 65535;
}

} // namespace

bool ParseDeviceTarget(const std::string& text, bool allowConfig, DeviceTarget& target, std::string& error) {
    target = DeviceTarget{};
    std::string address = text;
    const size_t eq = text.find('=');
    if (eq != std::string::npos) {
        if (!allowConfig) {
            error = text + ": a configuration per device (=FILE.cfg) belongs to update";
            return false;
        }
        address = text.substr(0, eq);
        target.Config = text.substr(eq + 1);
        if (target.Config.empty()) {
            error = text + ": no configuration file after '='";
            return false;
        }
    }
    if (address.find_first_of("[]") != std::string::npos) {
        error = text + ": an IPv6 address; the devices speak IPv4 (HOST[:PORT])";
        return false;
    }
    if (std::count(address.begin(), address.end(), ':') > 1) {
        error = text + ": more than one ':' (HOST[:PORT]; the devices speak IPv4)";
        return false;
    }
    const size_t colon = address.rfind(':');
    target.Host = address.substr(0, colon);
    if (colon != std::string::npos && !ParsePort(address.substr(colon + 1), target.Port)) {
        error = text + ": the port must be a number from 1 to 65535";
        return false;
    }
    if (target.Host.empty()) {
        error = text + ": no host";
        return false;
    }
    if (std::any_of(target.Host.begin(), target.Host.end(),
                    [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; })) {
        error = "'" + text + "': blanks in the host";
        return false;
    }
    target.Label = target.Host + ":" + std::to_string(target.Port);
    return true;
}

std::string AddressKey(const std::string& host) {
    // The link's own reading of a dotted address, so that both agree on what is one device.
    const uint32_t ip = SockDottedIp(host);
    if (ip != 0xFFFFFFFF)
        return "ip:" + std::to_string(ip);
    return "name:" + host;
}

std::string DeviceKey(const DeviceTarget& device) {
    return AddressKey(device.Host) + ":" + std::to_string(device.Port);
}

const DeviceTarget* RepeatedDevice(const std::vector<DeviceTarget>& devices) {
    std::set<std::string> seen;
    for (const DeviceTarget& d : devices)
        if (!seen.insert(DeviceKey(d)).second)
            return &d;
    return nullptr;
}
