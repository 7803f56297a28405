// FakeDevice: a device on a loopback address for the window tests. It answers I32 read requests from a
// table of values (the identification objects by default), records what it was asked, and can stay silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class FakeDevice {
public:
    // Listens on address with an ephemeral port and serves one connection after another.
    explicit FakeDevice(const std::string& address);
    ~FakeDevice(); // stops and joins its thread, closes its sockets
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    int Port() const { return port; }
    // The values the device answers a read of (obj, par) with; a read of an object without values gets no
    // answer.
    void SetValues(int obj, int par, std::vector<int32_t> values);
    // A 16-character text as four values, lowest byte first.
    void SetText(int obj, int par, const std::string& text);
    // Reads everything, answers nothing.
    void SetSilent(bool on) { silent = on; }

    // The (obj, par) of every read request received so far, in order, keep-alives included.
    std::vector<std::pair<int, int>> Requests() const;
    int Connections() const { return connections; }
    bool Connected() const { return clientOpen; }

private:
    void Serve();

    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> silent{false};
    std::atomic<int> connections{0};
    std::atomic<bool> clientOpen{false};
    mutable std::mutex lock; // values and requests
    std::map<std::pair<int, int>, std::vector<int32_t>> values;
    std::vector<std::pair<int, int>> requests;
    std::thread thread;
};
