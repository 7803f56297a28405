// Asp: the TCP device, one non-blocking connection to one DSP device, with its send
// queue, frame buffers and the timers for keep-alive and silence.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/device.h"
#include "link/frame.h"
#include "link/sockets.h"

class ConBase;

constexpr int32_t kRxTimeoutTicks = 1000; // a device silent this long is closed
constexpr int32_t kIdleTicks = 200;       // nothing sent this long: a keep-alive goes out
constexpr int kReopenPort = 2101;         // a registered device is reconnected here
constexpr uint32_t kNoIp = 0xFFFFFFFFu;   // INADDR_NONE: the text is no dotted IPv4 address
// The most ticks the link thread carries from one pass to the next: a stall (the program stopped and
// continued, a debugger halt, a machine too busy to run the link) counts for one keep-alive interval at
// most, never for a device's whole silence allowance.
constexpr int32_t kMaxTickBacklog = kIdleTicks;

class Asp : public Device {
public:
    Asp(int32_t handle, ConBase& owner);
    ~Asp() override; // closes a socket still open
    // Drops what arrived unread on a socket no device has any more, just before the link closes it, so that
    // the close is an ordinary one (the system answers a close with unread bytes by a reset).
    static void Drain(SockHandle sock);

    int RequestI32(int obj, int par) override;
    int RequestI8(int obj, int par) override;
    int RequestF32(int obj, int par) override;
    int WriteI8(int obj, int par, const uint8_t* data, int count) override;
    int WriteI32(int obj, int par, const int32_t* data, int count) override;
    int WriteF32(int obj, int par, const float* data, int count) override;
    int WriteRaw(int kind, int obj, int par, const uint8_t* data, int len) override;
    int Receive() override;
    int GetType() override { return 1; }
    int Send() override;
    int Close() override;
    bool IsOpen() override;
    int Reopen() override;
    int Tick() override;
    int GetAddress(std::string& text) override;

    // Connects to address:port (resolved, non-blocking, no-delay); a connection still
    // in progress counts as success. 0 or -1, with the reason in *problem when given. Called once,
    // before registration.
    int Connect(const std::string& address, int port, SockConnectProblem* problem = nullptr);
    SockHandle GetSocket();
    // The socket and the number of its connection (each Connect or Reopen counts one up; 0 when closed).
    SockHandle GetSocket(uint64_t& id);
    // Link thread: whether connection id is still open, and if so use (socket) called while it cannot
    // be closed (the link thread watches a socket only while it is the device's).
    template <class Use> bool WhileOpen(uint64_t id, Use&& use) {
        std::lock_guard<std::mutex> hold(Lock);
        if (Sock == kInvalidSocket || SockId != id)
            return false;
        use(Sock);
        return true;
    }
    // Copies one encoded message into the send queue; returns length.
    int Enqueue(const uint8_t* bytes, size_t length);
    // Link thread, once per pass: frames what is queued (or a keep-alive when idle) and
    // adds the socket to writeSet when there is something to write. 1 added, 0 not.
    int FillWriteSet(std::vector<SockHandle>& writeSet);
    // Link thread: closes the connection that the last Receive, Send or Tick worked on,
    // unless it has already been closed (or replaced by Reopen). True when it closed it,
    // so exactly one KIND_CLOSED is queued per connection.
    bool CloseAfterFailure();
    // Closes the socket when it still belongs to connection `id` (0: whichever). True
    // when this call closed a socket.
    bool CloseConnection(uint64_t id);
    // True when everything queued has been handed to the socket (nothing queued, no frame
    // part left to write).
    bool AllSent() const;
    // The gentle close (ConBase::CloseGently): from now on nothing new is queued and no keep-alive goes
    // out; once everything queued has been written the sending side is shut, and the link thread reads what
    // the device still sends until it closes the connection or deadline (steady clock, nanoseconds) passes.
    // False when the device is not open or is closing already.
    bool BeginClose(int64_t deadline);
    bool Closing() const { return CloseBy.load() != 0; }
    // When a gentle close stops waiting for the device (steady clock, nanoseconds); 0 when not closing.
    int64_t CloseDeadline() const { return CloseBy.load(); }
    // The burst hold (ConBase::Hold, Release): while held, FillWriteSet frames nothing new.
    void Hold();
    void Release();
    bool Held() const;
    // When the current hold stops counting (steady clock, nanoseconds); 0 when not held.
    int64_t HoldEnds() const;
    // Link thread: applies n ticks at once (n no more than TicksToDue ()): -1 when the silence
    // timer ran out and this closed the device, else 0.
    int ApplyTicks(int32_t n);
    // Ticks until a timer runs out (the keep-alive is due or the silence closes the device);
    // INT32_MAX when none runs.
    int32_t TicksToDue() const;

    // Fields. Connect writes Ip and AddrText before the device is registered; the
    // timers are atomics because Reopen reloads RxTimeout from the caller's thread.
    std::atomic<int32_t> RxTimeout{kRxTimeoutTicks};
    uint32_t Ip = kNoIp;  // network byte order
    std::string AddrText; // kept whole, so a long host name reconnects correctly
    TxMessages TxQueue;   // guarded by Lock
    std::atomic<int32_t> TxPending{0};
    std::atomic<int32_t> IdleTimer{kIdleTicks};
    // Bytes of TxFrame not yet written; set before TxPending drops when a frame is built.
    std::atomic<size_t> TxFrameLeft{0};
    // Link thread only:
    RxScanState RxState = RxScanState::Searching;
    std::vector<uint8_t> TxFrame; // built frame; TxSent bytes of it are already written
    size_t TxSent = 0;
    RxBuffer RxBuf;
    ConBase* const pOwner;

private:
    int BuildFrame();
    // Link thread: notices a new connection (Reopen) and drops what belonged to the old
    // byte stream: a partly written frame, a partly received one.
    void FollowConnection(uint64_t id);

    // Drops what the device sent and nobody read, so that closing is an ordinary close
    // (the system answers a close with unread bytes by a reset). Caller holds Lock.
    void DrainUnread();
    // Link thread, during a gentle close with everything written: shuts the sending side of connection id.
    void ShutSending(uint64_t id);

    std::atomic<int> Holds{0};
    std::atomic<int64_t> HeldSince{0}; // steady clock, nanoseconds: when the first hold began
    std::atomic<int64_t> CloseBy{0};   // a gentle close's deadline (steady ns); 0 when not closing
    bool SendingShut = false;          // guarded by Lock: the gentle close has shut the sending side
    SockHandle Sock = kInvalidSocket;  // guarded by Lock
    uint64_t SockId = 0;               // guarded by Lock; grows with every connection
    uint64_t NextSockId = 0;           // guarded by Lock
    uint64_t IoSockId = 0;             // link thread: the connection of the last Receive/Send/Tick
    uint64_t FrameSockId = 0;          // link thread: the connection TxFrame was started on
    uint64_t RxSockId = 0;             // link thread: the connection RxBuf holds bytes of
};
