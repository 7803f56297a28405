// ConBase: the link manager. Registry of devices by handle, sends by handle, the queue
// of received messages and link events, and the link and tick threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/msg.h"

class Connection;
class Device;
class SockWake;

struct LinkOptions {
    // One tick; the device timers count ticks (1000 of silence close a device, 200
    // idle ones send a keep-alive). Tests shorten it.
    std::chrono::microseconds TickPeriod{5000};
    // SO_SNDBUF of device sockets; 0 keeps the system's default.
    int SendBufferSize = 0;
};

class ConBase {
public:
    ConBase(); // starts LinkLoop and TickLoop
    explicit ConBase(const LinkOptions& options);
    ~ConBase(); // stops and joins both threads, then destroys the devices
    ConBase(const ConBase&) = delete;
    ConBase& operator=(const ConBase&) = delete;

    // Registry. Results: Open a handle or 0; Close 0, -1 unregistered, -2 not open;
    // IsOpen non-zero while open; Remove 0, -1 unregistered, -2 still open.
    int Open(const std::string& address, int port);
    int Close(int handle);
    int IsOpen(int handle);
    int Remove(int handle);

    // Sends by handle (count before data): the bytes queued, -1 unregistered handle
    // (or refused by the device). The message leaves in the link thread's next pass.
    int RequestI32(int handle, int obj, int par);
    int WriteI32(int handle, int obj, int par, int count, const int32_t* data);
    int WriteI8(int handle, int obj, int par, int count, const uint8_t* data);

    // Appends a copy of the record (and of its data when Count > 1) and notifies.
    void PushMsg(int handle, const Msg& record);
    int GetMsgCount();
    // Takes the oldest record into record, whose Buf.pU8 points at capacity bytes (at
    // least 4): 0 taken; -1 queue empty; the record's Len when its data do not fit
    // (the record stays first; take it with a larger buffer or DropMsg it).
    int GetMsg(Msg& record, int capacity);
    // The same for the records of one handle only.
    int GetMsgCount(int handle);
    int GetMsg(int handle, Msg& record, int capacity);
    // Drops the oldest record (of the handle): 0, or -1 when there is none.
    int DropMsg();
    int DropMsg(int handle);

    // The notification receiver; Connection_Main calls these.
    void Register(Connection* receiver);
    void Unregister(Connection* receiver);

    const LinkOptions& Options() const { return Opts; }
    // Ends the link thread's wait at once: something was queued for sending.
    void WakeLink();
    // Ticks the link thread has applied to the device timers so far.
    uint64_t TicksProcessed() const { return TicksDone.load(); }

private:
    struct QueuedMsg {
        Msg Record;
        std::vector<uint8_t> Data; // the record's data block when Count > 1
    };

    void LinkLoop(std::stop_token stop);
    void TickLoop(std::stop_token stop);
    std::shared_ptr<Device> FindDevice(int handle); // caller holds Lock
    std::shared_ptr<Device> LookUp(int handle);     // takes Lock for the lookup only
    // Queues a link event (KIND_CONNECTED, KIND_CLOSED) for the device.
    void PushEvent(int handle, int kind);
    int TakeMsg(int handle, bool anyHandle, Msg* record, int capacity);

    const LinkOptions Opts;

    // Lock order: Lock (registry) before a device's lock. QueueLock is taken alone.
    // NotifyLock is held while calling the receiver and never taken under another lock.
    std::mutex Lock;
    int32_t HandleCounter = 0; // only grows: handles are never reused
    // The registered devices by handle (in registration order). The link thread works
    // on a snapshot of shared pointers, so Remove never destroys a device in use.
    std::map<int, std::shared_ptr<Device>> Devices;

    std::mutex QueueLock;
    std::deque<QueuedMsg> Queue;

    std::recursive_mutex NotifyLock;
    Connection* pConnection = nullptr;

    std::unique_ptr<SockWake> Wake;

    std::atomic<int32_t> Ticks{0};
    std::atomic<uint64_t> TicksDone{0};

    std::jthread LinkThread;
    std::jthread TickThread;
};

// The program's one manager, created on first use (before the main window).
ConBase& TheConBase();
