// ConBase: the link manager. Registry of devices by handle, sends by handle, the queue
// of received messages and link events, and the link thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "link/msg.h"
#include "link/sockets.h"

class Connection;
class Device;
class SockWake;

struct LinkOptions {
    // One tick; the device timers count ticks (1000 of silence close a device, 200
    // idle ones send a keep-alive). Tests shorten it.
    std::chrono::microseconds TickPeriod{5000};
    // SO_SNDBUF of device sockets; 0 keeps the system's default.
    int SendBufferSize = 0;
    // Ticks come only from AddTicks, not from the clock (tests count them exactly).
    bool ManualTicks = false;
    // No threads at all: the manager serves only as the queue of received messages (nothing can be
    // opened usefully then; the scanner's fuzz target uses it so the threads stay out of its loop).
    bool QueueOnly = false;
    // A burst hold (ConBase::Hold) older than this is ignored: no device is held for long.
    std::chrono::milliseconds MaxHold{500};
};

class ConBase {
public:
    ConBase(); // starts LinkLoop
    explicit ConBase(const LinkOptions& options);
    // Closes every open device gently (CloseGently), giving them up to 2 s together, then stops and joins
    // the link thread and destroys the devices.
    ~ConBase();
    ConBase(const ConBase&) = delete;
    ConBase& operator=(const ConBase&) = delete;

    // Registry. Results: Open a handle or 0; Close 0, -1 unregistered, -2 not open;
    // IsOpen non-zero while open; Remove 0, -1 unregistered, -2 still open.
    int Open(const std::string& address, int port);
    // The same, telling in *problem how the connection attempt went (None when connected, Pending when the
    // device had not yet answered the connection request, else why there is no handle).
    int Open(const std::string& address, int port, SockConnectProblem* problem);
    int Close(int handle);
    // Closes the device without losing a byte either way, and without waiting: writes to it are refused from
    // now on; what was queued before still goes out; then its sending side is shut, so the device reads the
    // end of the stream after the last message, and the link thread goes on reading what the device sends
    // until it closes the connection, or for at most limit. Then the socket is closed (with nothing left
    // unread, so no reset) and KIND_CLOSED is queued (CLOSED_BY_CALLER). 0 begun (or closing already),
    // -1 unregistered, -2 not open.
    int CloseGently(int handle, std::chrono::milliseconds limit);
    // Waits until the device is closed: 0, or -1 on time-out or for an unregistered handle.
    int WaitClosed(int handle, std::chrono::milliseconds limit);
    int IsOpen(int handle);
    int Remove(int handle);
    // Why the device's connection last ended (CLOSED_*), recorded before its KIND_CLOSED record is queued
    // and forgotten when the device is removed; -1 when it has not ended.
    int ClosedReason(int handle);

    // Sends by handle (count before data): the bytes queued, -1 unregistered handle
    // (or refused by the device). The message leaves in the link thread's next pass.
    int RequestI32(int handle, int obj, int par);
    int WriteI32(int handle, int obj, int par, int count, const int32_t* data);
    int WriteI8(int handle, int obj, int par, int count, const uint8_t* data);

    // Waits until everything queued for the device has been handed to its socket: 0, or
    // -1 on time-out, for an unregistered handle or when the device is (or gets) closed.
    // A caller that closes a device right after writing to it waits here first.
    int WaitSent(int handle, std::chrono::milliseconds limit);

    // Holds the device's send queue: while held, the link thread frames nothing new for
    // it, so messages queued together go out together. Release wakes the link. Holds
    // nest; a hold older than LinkOptions::MaxHold is ignored. Hold: 0, or -1 for an
    // unregistered handle. Prefer LinkBurst.
    int Hold(int handle);
    void Release(int handle);

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
    // Ends the link thread's wait at once. With a handle: that device has something new for the link
    // thread (queued messages, a released hold, a socket opened or closed), which it looks at next pass.
    void WakeLink(int handle = 0);
    // A device's connection has ended: its socket is closed by the link thread before its next wait, or at
    // once when there is no link thread (any more). A socket is never closed while the link thread's wait
    // may be watching it: Winsock leaves that undefined (and Wine's server has been seen to end on it), and
    // its number could go to a new socket in the middle of the wait.
    void RetireSocket(int handle, SockHandle sock);
    // Ticks the link thread has applied to the device timers so far (each one is applied
    // to every device, and a silent device closed and reported, before it counts here).
    uint64_t TicksProcessed() const { return TicksDone.load(); }
    // Passes the link thread has completed so far.
    uint64_t PassesDone() const { return Passes.load(); }
    // With LinkOptions::ManualTicks: adds n ticks for the link thread to apply.
    void AddTicks(int n);

private:
    struct QueuedMsg {
        Msg Record;
        std::vector<uint8_t> Data; // the record's data block when Count > 1
        uint64_t Seq = 0;          // its place in the order of arrival
    };

    void LinkLoop(std::stop_token stop);
    std::shared_ptr<Device> FindDevice(int handle); // caller holds Lock
    std::shared_ptr<Device> LookUp(int handle);     // takes Lock for the lookup only
    // Queues a link event (KIND_CONNECTED, KIND_CLOSED) for the device; for KIND_CLOSED it first records
    // why (CLOSED_*).
    void PushEvent(int handle, int kind, int32_t reason = CLOSED_BY_CALLER);
    // PushMsg's two halves: the record into the queue (false when it was dropped), then the receiver.
    bool QueueRecord(const Msg& record);
    void NotifyReceiver(int handle);
    int TakeMsg(int handle, bool anyHandle, Msg* record, int capacity);
    // Pops the entries of taken or dropped records from the front of Order (caller holds QueueLock).
    void DropTakenFromOrder();
    // Wakes the waiters of WaitSent (something was written or a device closed).
    void SignalSent();
    // Closes every open device gently and waits until they are closed, or until deadline.
    void CloseOpenDevices(std::chrono::steady_clock::time_point deadline);

    const LinkOptions Opts;

    // Lock order: Lock (registry) before a device's lock. QueueLock is taken alone.
    // NotifyLock is held while calling the receiver and never taken under another lock.
    std::mutex Lock;
    int32_t HandleCounter = 0; // only grows: handles are never reused
    // The registered devices by handle (in registration order). The link thread works
    // on a snapshot of shared pointers, so Remove never destroys a device in use.
    std::map<int, std::shared_ptr<Device>> Devices;

    // The received records (guarded by QueueLock), each handle's in its own queue: a session taking its
    // own records neither walks nor moves the records of a thousand other devices.
    std::mutex QueueLock;
    std::unordered_map<int, std::deque<QueuedMsg>> Queues; // no empty queue is kept
    // Every record's place and handle in the order of arrival, for taking the oldest of any handle. An
    // entry whose record was taken by its handle stays until it comes first (or the order is rebuilt).
    std::deque<std::pair<uint64_t, int>> Order;
    size_t Queued = 0;    // the records in Queues
    uint64_t NextSeq = 0; // the next record's Seq
    // Why each closed device's connection ended, until the device is removed (guarded by QueueLock).
    std::unordered_map<int, int32_t> CloseReasons;
    // The handles removed so far (guarded by QueueLock): a record for one of them is dropped. Handles are
    // never reused, so a run keeps one entry per device it ever opened.
    std::unordered_set<int> Removed;

    std::recursive_mutex NotifyLock;
    Connection* pConnection = nullptr;

    std::unique_ptr<SockWake> Wake;
    // The handles given to WakeLink since the link thread last took them (DirtyLock is taken alone).
    std::mutex DirtyLock;
    std::vector<int> Dirty;
    // Sockets given to RetireSocket, to be closed by the link thread (under DirtyLock, as Dirty: the handle
    // of each is in Dirty too); LinkRunning says the link thread still takes them.
    std::vector<SockHandle> Retired;
    bool LinkRunning = false;

    // WaitSent's waiters. SentLock is taken before a device's lock (to test the device),
    // never with Lock, QueueLock or NotifyLock.
    std::mutex SentLock;
    std::condition_variable SentCv;

    std::atomic<int32_t> Ticks{0}; // AddTicks's ticks, not yet taken by the link thread
    std::atomic<uint64_t> TicksDone{0};
    std::atomic<uint64_t> Passes{0};

    std::jthread LinkThread;
};

// Holds a device's send queue for its lifetime, so that the messages queued meanwhile
// leave in one frame (as far as they fit): LinkBurst burst(con, handle); ...
class LinkBurst {
public:
    LinkBurst(ConBase& con, int handle) : Con(con), Handle(handle), Held(con.Hold(handle) == 0) {}
    ~LinkBurst() {
        if (Held)
            Con.Release(Handle);
    }
    LinkBurst(const LinkBurst&) = delete;
    LinkBurst& operator=(const LinkBurst&) = delete;

private:
    ConBase& Con;
    const int Handle;
    const bool Held;
};

// The program's one manager, created on first use (before the main window).
ConBase& TheConBase();
