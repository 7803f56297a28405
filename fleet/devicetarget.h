// A device of a run: its address and port as given, and optionally a configuration of its own; and
// how two targets are known to be one device.
#pragma once

#include <string>
#include <vector>

constexpr int kDefaultDevicePort = 2000;

struct DeviceTarget {
    std::string Host;
    int Port = kDefaultDevicePort;
    bool PortGiven = false; // the text named the port; else Port is the default, which a run may change
    std::string Config;     // this device's configuration file; empty: the run's
    std::string Label;      // HOST:PORT, how the device is named in events and reports
    int Wave = 0;           // the rollout's wave an earlier run gave it (a redo keeps it); 0: none
};

// Reads HOST[:PORT][=FILE.cfg] (the =FILE.cfg part only with allowConfig). False, with error naming the
// text ("127.0.0.1:0: the port must be a number from 1 to 65535"), when it is not one.
bool ParseDeviceTarget(const std::string& text, bool allowConfig, DeviceTarget& target, std::string& error);

// A device given without a port takes port: its Port and Label follow.
void SetDefaultPort(DeviceTarget& target, int port);

// What the link manager takes for one address: dotted addresses by value (127.0.0.1 and 127.000.0.1 are
// one), host names by their text.
std::string AddressKey(const std::string& host);
// One device: its address as AddressKey reads it, and its port. Several ports of one address are several
// devices (a test jig forwarding 2000, 2001, ...).
std::string DeviceKey(const DeviceTarget& device);
// The first device of the list that an earlier one already names (by DeviceKey), or nullptr.
const DeviceTarget* RepeatedDevice(const std::vector<DeviceTarget>& devices);
