// The abstract device of the link (one connection to one DSP device) and the link's
// internal-consistency check, which names the source file "device".
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Prints "device: <condition>" and aborts: a programmer error inside the device link.
[[noreturn]] void DeviceAssertFailed(const char* condition);
#define DEVICE_ASSERT(ok, condition)                                                                         \
    do {                                                                                                     \
        if (!(ok))                                                                                           \
            DeviceAssertFailed(condition);                                                                   \
    } while (0)

constexpr int kInvalidSocket = -1;
// Receive () result when the socket had nothing to read after all: not an error.
constexpr int kWouldBlock = -2;

class Device {
public:
    explicit Device(int32_t handle) : Handle(handle) {}
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Encoders: queue one message, return the bytes queued (12 + data), -1 when refused.
    virtual int RequestI32(int obj, int par) = 0;
    virtual int RequestI8(int obj, int par) = 0;
    virtual int RequestF32(int obj, int par) = 0;
    virtual int WriteI8(int obj, int par, const uint8_t* data, int count) = 0;
    virtual int WriteI32(int obj, int par, const int32_t* data, int count) = 0;
    virtual int WriteF32(int obj, int par, const float* data, int count) = 0;
    virtual int WriteRaw(int kind, int obj, int par, const uint8_t* data, int len) = 0;
    // Bytes read; 0 at end of stream; kWouldBlock when nothing was there; -1 on error.
    virtual int Receive() = 0;
    virtual int GetType() = 0; // 1 for the TCP device
    // Bytes written (0 when the socket could take nothing now); -1 on error.
    virtual int Send() = 0;
    virtual int Close() = 0;
    virtual bool IsOpen() = 0;
    virtual int Reopen() = 0; // 0 reconnected, -1 failed or still open
    virtual int Tick() = 0;   // 0, or -1 when the device has just been closed for silence
    virtual int GetAddress(std::string& text) = 0;

    const int32_t Handle;

protected:
    // The device's lock: guards the send queue and the socket. Taken after the
    // manager's lock, never before it.
    std::mutex Lock;
};
