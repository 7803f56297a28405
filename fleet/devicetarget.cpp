// Reading a device's address, and telling devices apart.
#include "fleet/devicetarget.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "link/sockets.h"

namespace {

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long value = std::stol(text);
    port = static_cast<int>(value);
    return value >= 1 && value <= 65535;
}

// A host written like a dotted IPv4 address (digits with '.', ',', ';', '/' or '-') that is not one would
// go to the name server as a host name: why it is not an address, or empty when it is one or a name.
std::string NotDottedAddress(const std::string& host) {
    if (host.find_first_not_of("0123456789.,;/-") != std::string::npos ||
        host.find_first_of("0123456789") == std::string::npos)
        return {};
    if (host.find_first_of("/-") != std::string::npos)
        return "an address range; a device is one address A.B.C.D (scan takes ranges)";
    if (const size_t bad = host.find_first_of(",;"); bad != std::string::npos)
        return std::string("'") + host[bad] +
               "' in an IPv4 address: '.' goes between its four numbers, ':' before the port";
    const std::string form = "an IPv4 address is four numbers from 0 to 255 with '.' between them (A.B.C.D)";
    std::vector<std::string> numbers{""};
    for (const char c : host) {
        if (c == '.')
            numbers.emplace_back();
        else
            numbers.back() += c;
    }
    if (numbers.size() != 4)
        return form;
    for (const std::string& n : numbers) {
        if (n.empty() || n.size() > 3 || std::stoi(n) > 255)
            return "'" + n + "': " + form;
        // The socket layer reads a number with a leading 0 as octal: 127.0.0.010 would be 127.0.0.8.
        if (n.size() > 1 && n[0] == '0' && n.find_first_not_of('0') != std::string::npos)
            return "'" + n +
                   "' starts with 0, which the socket layer reads as an octal number; write it without the 0";
    }
    return {};
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
    target.PortGiven = colon != std::string::npos;
    if (target.PortGiven && !ParsePort(address.substr(colon + 1), target.Port)) {
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
    if (const std::string why = NotDottedAddress(target.Host); !why.empty()) {
        error = text + ": " + why;
        return false;
    }
    target.Label = target.Host + ":" + std::to_string(target.Port);
    return true;
}

void SetDefaultPort(DeviceTarget& target, int port) {
    if (target.PortGiven)
        return;
    target.Port = port;
    target.Label = target.Host + ":" + std::to_string(port);
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
