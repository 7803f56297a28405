// Asp: the TCP device. Encoders queue messages; the link thread frames and writes them,
// reads and scans what arrives, and counts the keep-alive and silence timers.
#include "link/asp.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "link/conbase.h"
#include "link/sockets.h"

namespace {

constexpr size_t kReadChunk = 10000; // one read takes at most this much
constexpr int kDrainReads = 64;      // unread bytes dropped at a close: at most this many reads

int64_t SteadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Takes n from a timer, not below 0; Reopen may reload the timer meanwhile from another thread.
void CountDown(std::atomic<int32_t>& timer, int32_t n) {
    int32_t value = timer.load();
    while (value > 0 && !timer.compare_exchange_weak(value, std::max<int32_t>(0, value - n))) {
    }
}

} // namespace

Asp::Asp(int32_t handle, ConBase& owner) : Device(handle), pOwner(&owner) {}

Asp::~Asp() {
    CloseConnection(0);
}

// Encoders build into local storage: the keep-alive is encoded in the link thread while
// a caller may be encoding for the same device.
int Asp::RequestI32(int obj, int par) {
    std::vector<uint8_t> m;
    return EncodeRequestI32(m, obj, par) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::RequestI8(int obj, int par) {
    std::vector<uint8_t> m;
    return EncodeRequestI8(m, obj, par) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::RequestF32(int obj, int par) {
    std::vector<uint8_t> m;
    return EncodeRequestF32(m, obj, par) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::WriteI8(int obj, int par, const uint8_t* data, int count) {
    std::vector<uint8_t> m;
    return EncodeWriteI8(m, obj, par, data, count) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::WriteI32(int obj, int par, const int32_t* data, int count) {
    std::vector<uint8_t> m;
    return EncodeWriteI32(m, obj, par, data, count) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::WriteF32(int obj, int par, const float* data, int count) {
    std::vector<uint8_t> m;
    return EncodeWriteF32(m, obj, par, data, count) < 0 ? -1 : Enqueue(m.data(), m.size());
}

int Asp::WriteRaw(int kind, int obj, int par, const uint8_t* data, int len) {
    std::vector<uint8_t> m;
    if (len < 0 || EncodeMsg(m, static_cast<uint8_t>(kind), obj, par, data, static_cast<size_t>(len)) < 0)
        return -1;
    return Enqueue(m.data(), m.size());
}

int Asp::Enqueue(const uint8_t* bytes, size_t length) {
    std::vector<uint8_t> copy(bytes, bytes + length);
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (CloseBy.load() != 0)
            return -1; // closing: what was queued goes out, nothing more
        TxQueue.push_back(std::move(copy));
        TxPending += static_cast<int32_t>(length);
    }
    pOwner->WakeLink(Handle); // framed and written in the link thread's next pass, not after its wait
    return static_cast<int>(length);
}

int Asp::Connect(const std::string& address, int port, SockConnectProblem* problem) {
    const SockHandle sock = SockConnect(address, port, pOwner->Options().SendBufferSize, problem);
    if (sock < 0)
        return -1;
    RxTimeout = kRxTimeoutTicks;
    Ip = SockDottedIp(address);
    AddrText = address;
    std::lock_guard<std::mutex> hold(Lock);
    Sock = sock;
    SockId = ++NextSockId;
    CloseBy = 0;
    SendingShut = false;
    return 0;
}

int Asp::Reopen() {
    if (IsOpen())
        return -1;
    const SockHandle sock = SockConnect(AddrText, kReopenPort, pOwner->Options().SendBufferSize);
    if (sock < 0)
        return -1;
    RxTimeout = kRxTimeoutTicks;
    std::lock_guard<std::mutex> hold(Lock);
    if (Sock != kInvalidSocket) {
        // Reopened by another thread meanwhile: keep that connection.
        SockClose(sock);
        return -1;
    }
    Sock = sock;
    SockId = ++NextSockId;
    CloseBy = 0;
    SendingShut = false;
    return 0;
}

bool Asp::CloseConnection(uint64_t id) {
    SockHandle sock;
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (Sock == kInvalidSocket || (id != 0 && id != SockId))
            return false;
        sock = Sock;
        DrainUnread();
        Sock = kInvalidSocket;
        SockId = 0;
        CloseBy = 0;
        SendingShut = false;
    }
    pOwner->RetireSocket(Handle, sock);
    return true;
}

void Asp::DrainUnread() {
    Drain(Sock);
}

void Asp::Drain(SockHandle sock) {
    uint8_t chunk[kReadChunk];
    for (int i = 0; i < kDrainReads && SockRecv(sock, chunk, sizeof chunk) > 0; ++i) {
    }
}

bool Asp::BeginClose(int64_t deadline) {
    std::lock_guard<std::mutex> hold(Lock);
    if (Sock == kInvalidSocket || CloseBy.load() != 0)
        return false;
    CloseBy = std::max<int64_t>(deadline, 1);
    return true;
}

void Asp::ShutSending(uint64_t id) {
    std::lock_guard<std::mutex> hold(Lock);
    if (Sock == kInvalidSocket || SockId != id || SendingShut)
        return;
    SockShutdownSend(Sock);
    SendingShut = true;
}

bool Asp::AllSent() const {
    // TxPending first: a frame's size is published before its messages leave TxPending.
    return TxPending.load() == 0 && TxFrameLeft.load() == 0;
}

void Asp::Hold() {
    std::lock_guard<std::mutex> hold(Lock);
    if (Holds.load() == 0)
        HeldSince = SteadyNanos(); // before Holds turns non-zero, so Held never sees an old start
    ++Holds;
}

void Asp::Release() {
    bool last;
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (Holds.load() == 0)
            return;
        last = --Holds == 0;
    }
    if (last)
        pOwner->WakeLink(Handle); // the burst goes out in the next pass
}

bool Asp::Held() const {
    if (Holds.load() == 0)
        return false;
    const auto age = std::chrono::nanoseconds(SteadyNanos() - HeldSince.load());
    return age < pOwner->Options().MaxHold;
}

int Asp::Close() {
    CloseConnection(0);
    return 0;
}

bool Asp::CloseAfterFailure() {
    return CloseConnection(IoSockId);
}

bool Asp::IsOpen() {
    std::lock_guard<std::mutex> hold(Lock);
    return Sock != kInvalidSocket;
}

SockHandle Asp::GetSocket() {
    std::lock_guard<std::mutex> hold(Lock);
    return Sock;
}

SockHandle Asp::GetSocket(uint64_t& id) {
    std::lock_guard<std::mutex> hold(Lock);
    id = SockId;
    return Sock;
}

int Asp::GetAddress(std::string& text) {
    text = AddrText;
    return 0;
}

void Asp::FollowConnection(uint64_t id) {
    if (FrameSockId != id) {
        // A frame partly written on the old connection would arrive cut; a whole one
        // is still good on the new connection.
        if (TxSent > 0) {
            TxFrame.clear();
            TxSent = 0;
            TxFrameLeft = 0;
        }
        FrameSockId = id;
    }
    if (RxSockId != id) {
        RxBuf.Clear();
        RxState = RxScanState::Searching;
        RxSockId = id;
    }
}

int Asp::BuildFrame() {
    size_t removed = 0;
    int length;
    {
        std::lock_guard<std::mutex> hold(Lock);
        length = ::BuildFrame(TxQueue, TxFrame, removed);
        TxFrameLeft = TxFrame.size();
        TxPending -= static_cast<int32_t>(removed);
    }
    TxSent = 0;
    return length;
}

int Asp::FillWriteSet(std::vector<SockHandle>& writeSet) {
    SockHandle sock;
    uint64_t id;
    {
        std::lock_guard<std::mutex> hold(Lock);
        sock = Sock;
        id = SockId;
    }
    if (sock == kInvalidSocket)
        return 0;
    FollowConnection(id);
    if (TxFrame.empty()) {
        if (Closing()) {
            // What was queued before the close still goes out, held or not; then the device reads the end
            // of the stream after it.
            if (TxPending == 0) {
                ShutSending(id);
                return 0;
            }
        } else {
            if (Held())
                return 0; // a burst is being queued: it leaves whole once released
            if (TxPending == 0) {
                if (IdleTimer != 0)
                    return 0;
                RequestI32(0, 1); // keep-alive: its answer reloads RxTimeout
            }
        }
        if (BuildFrame() == 0)
            return 0;
    }
    DEVICE_ASSERT(sock != kInvalidSocket, "GetSocket()!=INVALID_SOCKET");
    IdleTimer = kIdleTicks;
    writeSet.push_back(sock);
    return 1;
}

int Asp::Send() {
    if (TxFrame.empty())
        return 0;
    int result;
    {
        std::lock_guard<std::mutex> hold(Lock);
        IoSockId = SockId;
        if (Sock == kInvalidSocket)
            return 0; // closed meanwhile; the closer has reported it
        result = SockSend(Sock, TxFrame.data() + TxSent, TxFrame.size() - TxSent);
    }
    if (result > 0) {
        // The unwritten tail stays and goes out in the next passes.
        TxSent += static_cast<size_t>(result);
        TxFrameLeft = TxFrame.size() - TxSent;
        if (TxSent == TxFrame.size()) {
            TxFrame.clear();
            TxSent = 0;
        }
    }
    return result;
}

int Asp::Receive() {
    uint8_t chunk[kReadChunk];
    int result;
    uint64_t id;
    {
        std::lock_guard<std::mutex> hold(Lock);
        IoSockId = id = SockId;
        if (Sock == kInvalidSocket)
            return kWouldBlock; // closed meanwhile; the closer has reported it
        result = SockRecv(Sock, chunk, sizeof chunk);
    }
    if (result <= 0)
        return result;
    RxTimeout = kRxTimeoutTicks;
    FollowConnection(id);
    RxBuf.Append(chunk, static_cast<size_t>(result));
    // Scanned without the device's lock: delivering notifies the receiver, which may
    // call into the manager.
    ScanFrames(RxBuf, RxState, Handle, [this](const Msg& m) { pOwner->PushMsg(Handle, m); });
    return result;
}

int Asp::Tick() {
    return ApplyTicks(1);
}

int64_t Asp::HoldEnds() const {
    if (Holds.load() == 0)
        return 0;
    return HeldSince.load() +
           std::chrono::duration_cast<std::chrono::nanoseconds>(pOwner->Options().MaxHold).count();
}

int32_t Asp::TicksToDue() const {
    int32_t due = INT32_MAX;
    if (IdleTimer > 0)
        due = IdleTimer;
    if (RxTimeout > 0)
        due = std::min<int32_t>(due, RxTimeout);
    return due;
}

int Asp::ApplyTicks(int32_t n) {
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (Sock == kInvalidSocket)
            return 0;
        IoSockId = SockId;
    }
    CountDown(IdleTimer, n);
    CountDown(RxTimeout, n);
    if (RxTimeout == 0 && CloseAfterFailure())
        return -1;
    return 0;
}
