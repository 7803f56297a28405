// FakeDevice: a device on a loopback address for the window tests, on top of the update tests' TestDevice.
// It answers I32 read requests from a table of values (the identification objects by default), records what
// it was asked, and can stay silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/update/testdevice.h"

class FakeDevice {
public:
    // Listens on address with an ephemeral port and serves one connection after another.
    explicit FakeDevice(const std::string& address);

    int Port() const { return device.Port(); }
    // The values the device answers a read of (obj, par) with; a read of an object without values gets no
    // answer.
    void SetValues(int obj, int par, std::vector<int32_t> values);
    // A 16-character text as four values, lowest byte first.
    void SetText(int obj, int par, const std::string& text);
    // Reads everything, answers nothing.
    void SetSilent(bool on) { silent = on; }

    // The (obj, par) of every I32 read request received so far, in order, keep-alives included.
    std::vector<std::pair<int, int>> Requests();
    int Connections() { return static_cast<int>(device.Connections()); }
    bool Connected() const { return device.Connected(); }

private:
    DeviceAction Answer(const Received& r);

    std::atomic<bool> silent{false};
    std::mutex lock; // values
    std::map<std::pair<int, int>, std::vector<int32_t>> values;
    TestDevice device; // last: its thread, which uses the values, stops first
};
