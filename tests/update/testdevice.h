// Helpers of the update tests: a listening test device on a loopback address that records the
// messages it receives and answers by rules, a view that records what it is shown, and a clock
// that paces the sequence without sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/sockets.h"
#include "tests/support/waituntil.h"
#include "update/updateclock.h"
#include "update/updateview.h"

// One message as the device received it.
struct Received {
    int Kind = 0;
    int Type = 0;
    uint16_t Obj = 0;
    uint16_t Par = 0;
    int Count = 0;
    std::vector<uint8_t> Data;

    int32_t I32(size_t i = 0) const;
};

// What the device does on a message: frames to answer with, and whether to close afterwards.
struct DeviceAction {
    std::vector<std::vector<uint8_t>> Replies; // encoded messages
    bool Close = false;
};

// An error reply (command 4, type I32, 4 data bytes) and an acknowledgement, as encoded messages.
std::vector<uint8_t> ErrorReply(uint16_t obj, uint16_t par);
std::vector<uint8_t> WokReply(uint16_t obj, uint16_t par);
std::vector<uint8_t> ValueReplyI32(uint16_t obj, uint16_t par, const std::vector<int32_t>& values);

class TestDevice {
public:
    // Listens on address with an ephemeral port; serves one connection after another. receiveBuffer > 0
    // gives its connections that small a receive window, and the device then reads 512 bytes at a time.
    explicit TestDevice(const std::string& address, int receiveBuffer = 0);
    ~TestDevice();

    int Port() const { return port; }
    // Set before the tool connects; called in the device's thread for every message.
    std::function<DeviceAction(const Received&)> OnMessage;
    // Set before the tool connects: keep-alive reads of (0,1) go to OnMessage and Messages too.
    bool WithKeepAlives = false;
    // Set before the tool connects: a write that OnMessage neither answers nor closes on is acknowledged
    // (WOK), as a device acknowledges what it takes.
    bool AcknowledgeWrites = true;
    // Set before the tool connects: how long the device takes for each page it receives, reading nothing
    // meanwhile (a device busy writing its flash).
    std::chrono::milliseconds PageTime{0};

    // The messages received so far, keep-alive reads of (0,1) left out unless WithKeepAlives.
    std::vector<Received> Messages();
    size_t Connections();
    bool Connected() const { return connected; }
    // Waits until pred holds for the messages, at most limit; true when it held.
    bool WaitFor(const std::function<bool(const std::vector<Received>&)>& pred,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    void Serve();

    SockHandle listenFd = kNoSock;
    int port = 0;
    size_t readChunk = 65536;
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{false};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Received> messages;
    size_t connections = 0;
    std::thread thread;
};

// Records everything the update shows.
class RecordingView : public UpdateView {
public:
    struct Shown {
        std::string What; // "InfoBox", "ShowTimed", "Progress", "ProgressEnd", ...
        std::string Text;
        int A = 0;
        int B = 0;
    };

    void SetDisplayText(Display, const std::string&) override {}
    void SetKennung(int) override {}
    void SetOnline(bool) override {}
    void SetConnectLabel(const std::string&) override {}
    void ShowTimed(const std::string& text, int ms) override { Add({"ShowTimed", text, ms, 0}); }
    void InfoBox(const std::string& text) override { Add({"InfoBox", text, 0, 0}); }
    void Progress(const std::string& caption, int position, int total) override {
        Add({"Progress", caption, position, total});
    }
    void ProgressEnd() override { Add({"ProgressEnd", "", 0, 0}); }
    void Repaint() override { Add({"Repaint", "", 0, 0}); }

    std::vector<Shown> All();
    // The texts of InfoBox and ShowTimed, in order.
    std::vector<std::string> Messages();

private:
    void Add(Shown s);
    std::mutex lock;
    std::vector<Shown> shown;
};

// Advances its own time on each sleep and records the pauses; OnSleep lets a test act at a pause.
class FakeClock : public UpdateClock {
public:
    TimePoint Now() override;
    void SleepUntil(TimePoint t) override;

    // Each pause in milliseconds, measured from the clock's time when the sleep began.
    std::vector<int64_t> Pauses();
    std::function<void(size_t pauseIndex, int64_t milliseconds)> OnSleep;

private:
    std::mutex lock;
    TimePoint now = TimePoint{} + std::chrono::hours(1);
    std::vector<int64_t> pauses;
};
