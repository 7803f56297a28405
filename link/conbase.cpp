// ConBase: the link manager. The registry of devices by handle, sends by handle, the
// received-message queue, and the link thread that moves the bytes and counts the ticks.
#include "link/conbase.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "link/asp.h"
#include "link/connection.h"
#include "link/frame.h"
#include "link/sockets.h"

namespace {

constexpr std::chrono::milliseconds kLongestWait{60000}; // a pass waits at most this long
constexpr std::chrono::milliseconds kNoWakeWait{10};     // without a working wake-up, at most this long
constexpr std::chrono::seconds kCloseLimit{2};           // the manager's end waits this long for its devices

// Blanks typed around an address are no part of it.
std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Closes retired sockets, each after dropping what arrived unread (no reset), and empties the list.
void CloseRetired(std::vector<SockHandle>& sockets) {
    for (const SockHandle s : sockets) {
        Asp::Drain(s);
        SockClose(s);
    }
    sockets.clear();
}

} // namespace

ConBase::ConBase() : ConBase(LinkOptions{}) {}

ConBase::ConBase(const LinkOptions& options) : Opts(options), Wake(std::make_unique<SockWake>()) {
    if (Opts.QueueOnly)
        return;
    LinkRunning = true;
    LinkThread = std::jthread([this](std::stop_token stop) { LinkLoop(stop); });
}

ConBase::~ConBase() {
    // What callers queued before the end still goes out, and what the devices still send is read: the link
    // thread closes them gently first.
    if (LinkThread.joinable())
        CloseOpenDevices(std::chrono::steady_clock::now() + kCloseLimit);
    // The threads go next, so nothing touches the registry or the queue once they die.
    LinkThread.request_stop();
    WakeLink(); // the link thread may be waiting without a time limit
    if (LinkThread.joinable())
        LinkThread.join();
    Devices.clear();
}

void ConBase::WakeLink(int handle) {
    if (handle != 0) {
        std::lock_guard<std::mutex> hold(DirtyLock);
        Dirty.push_back(handle);
    }
    Wake->Signal();
}

void ConBase::RetireSocket(int handle, SockHandle sock) {
    {
        std::lock_guard<std::mutex> hold(DirtyLock);
        if (LinkRunning) {
            Retired.push_back(sock);
            Dirty.push_back(handle);
            sock = kNoSock;
        }
    }
    if (sock == kNoSock) {
        Wake->Signal();
        return;
    }
    std::vector<SockHandle> now{sock};
    CloseRetired(now);
}

void ConBase::AddTicks(int n) {
    Ticks.fetch_add(n);
    WakeLink();
}

void ConBase::SignalSent() {
    // Taking the lock orders this after a waiter's check of its condition: no lost wake-up.
    { std::lock_guard<std::mutex> hold(SentLock); }
    SentCv.notify_all();
}

int ConBase::WaitSent(int handle, std::chrono::milliseconds limit) {
    const std::shared_ptr<Device> dev = LookUp(handle);
    if (!dev || dev->GetType() != 1)
        return -1;
    auto* asp = static_cast<Asp*>(dev.get());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> hold(SentLock);
    SentCv.wait_until(hold, deadline, [asp] { return !asp->IsOpen() || asp->AllSent(); });
    return asp->IsOpen() && asp->AllSent() ? 0 : -1;
}

void ConBase::CloseOpenDevices(std::chrono::steady_clock::time_point deadline) {
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard<std::mutex> hold(Lock);
        for (const auto& entry : Devices)
            if (entry.second->GetType() == 1)
                devices.push_back(entry.second);
    }
    const auto limit =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    for (const auto& dev : devices)
        CloseGently(dev->Handle, limit);
    std::unique_lock<std::mutex> hold(SentLock);
    for (const auto& dev : devices) {
        auto* asp = static_cast<Asp*>(dev.get());
        SentCv.wait_until(hold, deadline, [asp] { return !asp->IsOpen(); });
    }
}

int ConBase::CloseGently(int handle, std::chrono::milliseconds limit) {
    const std::shared_ptr<Device> dev = LookUp(handle);
    if (!dev)
        return -1;
    if (dev->GetType() != 1)
        return Close(handle);
    auto* asp = static_cast<Asp*>(dev.get());
    const auto deadline = std::chrono::steady_clock::now() + std::max(limit, std::chrono::milliseconds(0));
    const int64_t deadlineNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (!asp->BeginClose(deadlineNs) && !asp->Closing())
        return -2;
    WakeLink(handle); // the link thread writes what is left, shuts the sending side and reads to the end
    return 0;
}

int ConBase::WaitClosed(int handle, std::chrono::milliseconds limit) {
    const std::shared_ptr<Device> dev = LookUp(handle);
    if (!dev)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> hold(SentLock);
    SentCv.wait_until(hold, deadline, [&dev] { return !dev->IsOpen(); });
    return dev->IsOpen() ? -1 : 0;
}

int ConBase::Hold(int handle) {
    std::lock_guard<std::mutex> hold(Lock);
    const std::shared_ptr<Device> dev = FindDevice(handle);
    if (!dev || dev->GetType() != 1)
        return -1;
    static_cast<Asp*>(dev.get())->Hold();
    return 0;
}

void ConBase::Release(int handle) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard<std::mutex> hold(Lock);
        dev = FindDevice(handle);
    }
    if (dev && dev->GetType() == 1)
        static_cast<Asp*>(dev.get())->Release();
}

ConBase& TheConBase() {
    static ConBase link;
    return link;
}

std::shared_ptr<Device> ConBase::FindDevice(int handle) {
    const auto it = Devices.find(handle);
    if (it == Devices.end())
        return nullptr;
    DEVICE_ASSERT(it->second != nullptr, "pDev");
    return it->second;
}

std::shared_ptr<Device> ConBase::LookUp(int handle) {
    std::lock_guard<std::mutex> hold(Lock);
    return FindDevice(handle);
}

void ConBase::PushEvent(int handle, int kind, int32_t reason) {
    if (kind == KIND_CLOSED) {
        // Recorded before the record is queued: whoever takes the record finds the reason.
        std::lock_guard<std::mutex> hold(QueueLock);
        if (Removed.count(handle) == 0)
            CloseReasons[handle] = reason;
    }
    Msg m; // Count 0, Len 0
    m.Handle = handle;
    m.Kind = kind;
    PushMsg(handle, m);
    if (kind == KIND_CLOSED)
        SignalSent(); // WaitSent gives up on a closed device
}

int ConBase::Open(const std::string& address, int port) {
    return Open(address, port, nullptr);
}

int ConBase::Open(const std::string& typed, int port, SockConnectProblem* problem) {
    SockConnectProblem ignored;
    SockConnectProblem& why = problem != nullptr ? *problem : ignored;
    why = SockConnectProblem::BadAddress;
    // The device keeps the text without blanks: it is what it compares and reconnects with.
    const std::string address = TrimBlanks(typed);
    // The null integer (-2147483648) and every other port outside 1..65535 fail here.
    if (address.empty() || port < 1 || port > 65535)
        return 0;
    const uint32_t ip = SockDottedIp(address);
    std::shared_ptr<Device> known;
    int handle = 0;
    {
        std::lock_guard<std::mutex> hold(Lock);
        for (const auto& [h, dev] : Devices) {
            DEVICE_ASSERT(dev != nullptr, "Devices[i]");
            if (dev->GetType() != 1)
                continue;
            const auto* asp = static_cast<const Asp*>(dev.get());
            // Dotted addresses compare by value; other texts (host names) by text, so
            // two different names are two devices.
            const bool same = ip != kNoIp ? asp->Ip == ip : (asp->Ip == kNoIp && asp->AddrText == address);
            if (same) {
                known = dev;
                handle = h;
                break;
            }
        }
        if (!known)
            handle = ++HandleCounter;
    }
    if (known) {
        why = SockConnectProblem::Failed; // Reopen tells no reason
        if (known->Reopen() != 0)
            return 0;
        why = SockConnectProblem::None;
        WakeLink(handle); // the new socket joins the link thread's wait
        return handle;
    }

    std::shared_ptr<Asp> dev;
    try {
        dev = std::make_shared<Asp>(handle, *this);
    } catch (const std::bad_alloc&) {
        why = SockConnectProblem::Failed;
        return 0;
    }
    if (dev->Connect(address, port, &why) != 0)
        return 0;
    // Registered first, so that whoever takes the CONNECTED record finds the handle; the link thread
    // hears of the device only after the record is queued (WakeLink), so a device that hangs up at once
    // has its CLOSED queued after CONNECTED, never before.
    {
        std::lock_guard<std::mutex> hold(Lock);
        Devices.emplace(handle, dev);
    }
    Msg connected; // Count 0, Len 0
    connected.Handle = handle;
    connected.Kind = KIND_CONNECTED;
    const bool queued = QueueRecord(connected);
    WakeLink(handle); // the new socket joins the link thread's wait
    if (queued)
        NotifyReceiver(handle);
    return handle;
}

int ConBase::Close(int handle) {
    const std::shared_ptr<Device> dev = LookUp(handle);
    if (!dev)
        return -1;
    bool closed;
    if (dev->GetType() == 1) {
        // Only the one who actually closes the socket reports it: one KIND_CLOSED even
        // when the link thread closes the device at the same moment.
        closed = static_cast<Asp*>(dev.get())->CloseConnection(0);
    } else {
        closed = dev->IsOpen();
        dev->Close();
    }
    if (!closed)
        return -2;
    WakeLink(handle); // the closed socket leaves the link thread's wait
    PushEvent(handle, KIND_CLOSED, CLOSED_BY_CALLER);
    return 0;
}

int ConBase::ClosedReason(int handle) {
    std::lock_guard<std::mutex> hold(QueueLock);
    const auto it = CloseReasons.find(handle);
    return it == CloseReasons.end() ? -1 : it->second;
}

int ConBase::IsOpen(int handle) {
    const std::shared_ptr<Device> dev = LookUp(handle);
    return dev && dev->IsOpen() ? 1 : 0;
}

int ConBase::Remove(int handle) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard<std::mutex> hold(Lock);
        dev = FindDevice(handle);
        if (!dev)
            return -1;
        if (dev->IsOpen())
            return -2;
        Devices.erase(handle);
    }
    {
        // Its records go with it: a record the link thread queued after the CLOSED (read just before a
        // caller's Close) would otherwise stay for ever and hold the front of the order of arrival.
        std::lock_guard<std::mutex> hold(QueueLock);
        CloseReasons.erase(handle);
        Removed.insert(handle);
        if (const auto it = Queues.find(handle); it != Queues.end()) {
            Queued -= it->second.size();
            Queues.erase(it);
        }
        DropTakenFromOrder();
    }
    // Destroyed here, or by the link thread when its current pass lets go of it.
    return 0;
}

int ConBase::RequestI32(int handle, int obj, int par) {
    std::lock_guard<std::mutex> hold(Lock);
    const std::shared_ptr<Device> dev = FindDevice(handle);
    return dev ? dev->RequestI32(obj, par) : -1;
}

int ConBase::WriteI32(int handle, int obj, int par, int count, const int32_t* data) {
    std::lock_guard<std::mutex> hold(Lock);
    const std::shared_ptr<Device> dev = FindDevice(handle);
    return dev ? dev->WriteI32(obj, par, data, count) : -1;
}

int ConBase::WriteI8(int handle, int obj, int par, int count, const uint8_t* data) {
    std::lock_guard<std::mutex> hold(Lock);
    const std::shared_ptr<Device> dev = FindDevice(handle);
    return dev ? dev->WriteI8(obj, par, data, count) : -1;
}

void ConBase::PushMsg(int handle, const Msg& record) {
    if (QueueRecord(record))
        NotifyReceiver(handle);
}

bool ConBase::QueueRecord(const Msg& record) {
    try {
        QueuedMsg q;
        q.Record = record;
        if (record.Count > 1) {
            const size_t size = static_cast<size_t>(record.Count) * ElementSize(record.Type);
            if (size > 0 && record.Buf.pU8 != nullptr)
                q.Data.assign(record.Buf.pU8, record.Buf.pU8 + size);
            q.Record.Buf.Raw = 0;
        }
        std::lock_guard<std::mutex> hold(QueueLock);
        const int handle = q.Record.Handle;
        if (Removed.count(handle) != 0)
            return false; // the device is gone: nobody takes its records any more
        q.Seq = NextSeq++;
        Order.emplace_back(q.Seq, handle);
        try {
            Queues[handle].push_back(std::move(q));
        } catch (const std::bad_alloc&) {
            Order.pop_back();
            if (const auto it = Queues.find(handle); it != Queues.end() && it->second.empty())
                Queues.erase(it); // no empty queue is kept
            throw;
        }
        ++Queued;
        // Taken by their handles, the oldest entries of the order may stay behind one never taken: the
        // order is rebuilt from the queues before it grows far beyond the records.
        if (Order.size() > 2 * Queued + 1024) {
            std::deque<std::pair<uint64_t, int>> order;
            for (const auto& [h, records] : Queues)
                for (const QueuedMsg& r : records)
                    order.emplace_back(r.Seq, h);
            std::sort(order.begin(), order.end());
            Order.swap(order);
        }
    } catch (const std::bad_alloc&) {
        return false; // no room for the data block: the record is dropped
    }
    return true;
}

void ConBase::NotifyReceiver(int handle) {
    std::lock_guard<std::recursive_mutex> hold(NotifyLock);
    if (pConnection != nullptr)
        pConnection->Notify(handle);
}

int ConBase::GetMsgCount() {
    std::lock_guard<std::mutex> hold(QueueLock);
    return static_cast<int>(Queued);
}

int ConBase::GetMsgCount(int handle) {
    std::lock_guard<std::mutex> hold(QueueLock);
    const auto it = Queues.find(handle);
    return it == Queues.end() ? 0 : static_cast<int>(it->second.size());
}

int ConBase::TakeMsg(int handle, bool anyHandle, Msg* record, int capacity) {
    std::lock_guard<std::mutex> hold(QueueLock);
    // The order's first entry is always the oldest record's (see the end of a take).
    if (anyHandle)
        handle = Order.empty() ? 0 : Order.front().second;
    const auto queue = Queues.find(handle);
    if (queue == Queues.end())
        return -1;
    QueuedMsg& first = queue->second.front();
    if (record != nullptr) {
        uint8_t* const buf = record->Buf.pU8;
        *record = first.Record;
        record->Buf.pU8 = buf;
        if (first.Record.Len > capacity)
            return first.Record.Len; // stays first; the caller may take it bigger or drop it
        DEVICE_ASSERT(buf != nullptr, "Msg.Buf.pU8");
        const size_t room = capacity > 0 ? static_cast<size_t>(capacity) : 0;
        if (first.Record.Count == 1)
            std::memcpy(buf, first.Record.Buf.U8, std::min<size_t>(4, room));
        else if (first.Record.Count > 1 && !first.Data.empty())
            std::memcpy(buf, first.Data.data(), std::min(first.Data.size(), room));
    }
    if (anyHandle)
        Order.pop_front();
    queue->second.pop_front();
    if (queue->second.empty())
        Queues.erase(queue);
    --Queued;
    DropTakenFromOrder();
    return 0;
}

void ConBase::DropTakenFromOrder() {
    // Entries of records already taken by their handles (or dropped with their device) leave the front of
    // the order as they reach it (each queue is taken from its front, so an entry is current while it names
    // its queue's first record).
    while (!Order.empty()) {
        const auto [seq, h] = Order.front();
        const auto q = Queues.find(h);
        if (q != Queues.end() && q->second.front().Seq == seq)
            break;
        Order.pop_front();
    }
}

int ConBase::GetMsg(Msg& record, int capacity) {
    return TakeMsg(0, true, &record, capacity);
}

int ConBase::GetMsg(int handle, Msg& record, int capacity) {
    return TakeMsg(handle, false, &record, capacity);
}

int ConBase::DropMsg() {
    return TakeMsg(0, true, nullptr, 0);
}

int ConBase::DropMsg(int handle) {
    return TakeMsg(handle, false, nullptr, 0);
}

void ConBase::Register(Connection* receiver) {
    std::lock_guard<std::recursive_mutex> hold(NotifyLock);
    // One receiver per manager: a second one would silently cut off the first.
    DEVICE_ASSERT(pConnection == nullptr || pConnection == receiver, "pConnection");
    pConnection = receiver;
}

void ConBase::Unregister(Connection* receiver) {
    // Waits for a notification in progress in another thread (NotifyLock is held while
    // the receiver is called), so none reaches the receiver after this returns.
    std::lock_guard<std::recursive_mutex> hold(NotifyLock);
    if (pConnection == receiver)
        pConnection = nullptr;
}

namespace {

// Milliseconds from now until a steady-clock time (rounded up, so a wait never ends early), at
// most kLongestWait.
int64_t SteadyNanosNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int MsUntil(std::chrono::steady_clock::time_point when) {
    const auto left = when - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
    return static_cast<int>(std::min<int64_t>(ms.count(), kLongestWait.count()));
}

} // namespace

void ConBase::LinkLoop(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    // A device with an open socket, as the poller watches it.
    struct Watch {
        std::shared_ptr<Asp> Dev; // keeps it alive while watched
        SockHandle Sock = kNoSock;
        uint64_t Id = 0; // the connection watched (Reopen makes a new one)
        bool WantWrite = false;
    };
    // Only the devices that WakeLink named, that have a frame to write, a young hold or a keep-alive
    // due are looked at before the wait, and only ready sockets after it: a pass costs what happens,
    // not the number of devices. Ticks still reach every open device, once per tick and not per pass.
    std::map<int, Watch> watched; // by handle, so that work keeps the registration order
    std::set<int> attend;
    SockPoller poller;
    std::vector<SockPoller::Event> ready;
    std::vector<int> named;
    std::vector<SockHandle> writeSet;
    std::vector<SockHandle> retired;
    const auto closed = [this](Asp& dev, int32_t why) { PushEvent(dev.Handle, KIND_CLOSED, why); };
    // Ticks are counted from the clock (or taken from AddTicks) when the wait ends, not by a
    // thread of their own: the link sleeps until a timer is due, a socket is ready or it is woken.
    Clock::time_point tickedUpTo = Clock::now(); // the clock's ticks are counted up to here
    Clock::time_point lastAccounted = tickedUpTo; // when the ticks were last counted
    int64_t dueTicks = 0;                        // counted, not yet applied
    // Ticks until the first timer runs out, or fewer: exact after each tick; then a received message
    // only pushes a timer further out, and the devices looked at before a wait are counted in again.
    int32_t nextDue = INT32_MAX;
    while (!stop.stop_requested()) {
        // The test's ticks there before this pass looks at its devices: without a device they are dropped,
        // those added later (with a device just opened) are kept.
        const int32_t ticksBeforeLook = Opts.ManualTicks ? Ticks.load() : 0;
        named.clear();
        {
            std::lock_guard<std::mutex> hold(DirtyLock);
            named.swap(Dirty);
            retired.swap(Retired);
        }
        attend.insert(named.begin(), named.end());
        int64_t wakeAt = 0; // the first young hold stops counting, or a gentle close gives up, then (steady ns)
        for (auto a = attend.begin(); a != attend.end();) {
            const int handle = *a;
            auto w = watched.find(handle);
            std::shared_ptr<Asp> dev;
            if (w != watched.end()) {
                dev = w->second.Dev;
            } else if (const std::shared_ptr<Device> found = LookUp(handle); found && found->GetType() == 1) {
                dev = std::static_pointer_cast<Asp>(found);
            }
            uint64_t id = 0;
            const SockHandle sock = dev ? dev->GetSocket(id) : kInvalidSocket;
            if (w != watched.end() && (sock == kInvalidSocket || w->second.Id != id)) {
                // The watched socket is closed (a new connection replaces only a closed one).
                poller.Forget(w->second.Sock, static_cast<uint64_t>(handle));
                watched.erase(w);
                w = watched.end();
            }
            if (sock == kInvalidSocket) {
                a = attend.erase(a);
                continue;
            }
            // The poller is told under the device's lock, so that no other thread closes the socket
            // meanwhile; a device closed just now is looked at again (its closer named it).
            const auto key = static_cast<uint64_t>(handle);
            if (w == watched.end()) {
                bool added = false;
                if (!dev->WhileOpen(id, [&](SockHandle s) { added = poller.Add(s, key, false); })) {
                    a = attend.erase(a);
                    continue;
                }
                if (!added) {
                    // Unwatchable (no room in the system): the device cannot be served.
                    if (dev->CloseConnection(id))
                        closed(*dev, CLOSED_ON_ERROR);
                    a = attend.erase(a);
                    continue;
                }
                w = watched.emplace(handle, Watch{dev, sock, id, false}).first;
                nextDue = std::min(nextDue, dev->TicksToDue());
            }
            // A gentle close waits for the device no longer than its deadline, also when the device reads
            // nothing and a frame is left to write.
            const auto wakeBy = [&wakeAt](int64_t when) {
                if (when != 0 && (wakeAt == 0 || when < wakeAt))
                    wakeAt = when;
            };
            if (dev->Closing()) {
                const int64_t deadline = dev->CloseDeadline();
                if (deadline != 0 && SteadyNanosNow() >= deadline) {
                    if (dev->CloseConnection(id))
                        closed(*dev, CLOSED_BY_CALLER);
                    ++a; // leaves the poller next pass
                    continue;
                }
                wakeBy(deadline);
            }
            writeSet.clear();
            const bool wantWrite = dev->FillWriteSet(writeSet) == 1;
            // A keep-alive timer that had run out starts again here: the first timer may come sooner.
            nextDue = std::min(nextDue, dev->TicksToDue());
            if (wantWrite != w->second.WantWrite)
                dev->WhileOpen(id, [&](SockHandle s) {
                    if (poller.Add(s, key, wantWrite))
                        w->second.WantWrite = wantWrite;
                });
            // A frame left to write, a gentle close (until the device has closed) or a burst being queued is
            // looked at again next pass.
            if (wantWrite || dev->Closing()) {
                ++a;
            } else if (dev->Held()) {
                wakeBy(dev->HoldEnds());
                ++a;
            } else {
                a = attend.erase(a);
            }
        }
        // Out of the poller now (their devices were looked at above): closed before the wait.
        CloseRetired(retired);
        if (watched.empty()) {
            // Nothing to time: sleep until woken (Open wakes the link). Ticks counted while no
            // socket existed are dropped: no backlog later.
            // (AddTicks's ticks that come once a device is open are kept.)
            Ticks.fetch_sub(ticksBeforeLook);
            poller.Wait(ready, Wake->Ready() ? -1 : static_cast<int>(kNoWakeWait.count()), Wake.get());
            dueTicks = 0;
            nextDue = INT32_MAX;
            tickedUpTo = lastAccounted = Clock::now();
            Passes.fetch_add(1);
            continue;
        }
        int timeoutMs;
        if (dueTicks > 0 || (Opts.ManualTicks && Ticks.load() != 0))
            timeoutMs = 0; // ticks are waiting to be applied
        else if (Opts.ManualTicks || nextDue == INT32_MAX)
            timeoutMs = -1;
        else
            timeoutMs = MsUntil(tickedUpTo + Opts.TickPeriod * nextDue);
        if (wakeAt != 0) {
            const int until = MsUntil(Clock::time_point(std::chrono::nanoseconds(wakeAt)));
            timeoutMs = timeoutMs < 0 ? until : std::min(timeoutMs, until);
        }
        if (!Wake->Ready() && (timeoutMs < 0 || timeoutMs > kNoWakeWait.count()))
            timeoutMs = static_cast<int>(kNoWakeWait.count());
        const Clock::time_point waitBegan = Clock::now();
        poller.Wait(ready, timeoutMs, Wake.get());
        const Clock::time_point waitEnded = Clock::now();
        // What arrived during the wait is read, and what is due written, before the wait's ticks count:
        // a device whose answer came while the link could not run is not closed as silent.
        // Served in handle order, as the devices were registered.
        std::sort(ready.begin(), ready.end(),
                  [](const SockPoller::Event& a, const SockPoller::Event& b) { return a.Key < b.Key; });
        bool wrote = false;
        for (const SockPoller::Event& e : ready) {
            const auto w = watched.find(static_cast<int>(e.Key));
            if (w == watched.end())
                continue;
            Asp& dev = *w->second.Dev;
            if (e.Readable) {
                const int r = dev.Receive();
                if (r == 0 || (r < 0 && r != kWouldBlock)) {
                    // Asked before the close, whose reads set the error anew. The end of the stream during
                    // a gentle close is the device's answer to it.
                    const int32_t why = r == 0 && dev.Closing()                   ? CLOSED_BY_CALLER
                                        : r == 0 || SockLastErrorWasReset() ? CLOSED_BY_PEER
                                                                             : CLOSED_ON_ERROR;
                    if (dev.CloseAfterFailure()) {
                        closed(dev, why);
                        attend.insert(w->first);
                    }
                }
            }
            if (e.Writable && dev.IsOpen()) {
                // A write the socket cannot take now is no error: the rest waits.
                const int written = dev.Send();
                if (written < 0) {
                    const int32_t why = SockLastErrorWasReset() ? CLOSED_BY_PEER : CLOSED_ON_ERROR;
                    if (dev.CloseAfterFailure()) {
                        closed(dev, why);
                        attend.insert(w->first);
                    }
                }
                wrote |= written > 0;
            }
        }
        if (Opts.ManualTicks) {
            dueTicks += Ticks.exchange(0); // a test's ticks all count, however many come at once
        } else {
            const Clock::time_point now = Clock::now();
            // A stall (the program stopped and continued, a debugger halt, a machine too busy to run the
            // link) counts for no more than one keep-alive interval: the time the link could not listen is
            // not silence of the devices. Each device then gets at most one keep-alive from it, and a device
            // that answers it stays open however long the stall was. The link could not run when its wait
            // ended more than a keep-alive interval past its deadline, or when a pass's work (which takes
            // milliseconds) took longer than that; the ticks of a busy link that keeps up all count.
            const auto interval = Opts.TickPeriod * kMaxTickBacklog;
            Clock::duration stalled = Clock::duration::zero();
            if (timeoutMs >= 0)
                stalled += std::max(Clock::duration::zero(),
                                    waitEnded - (waitBegan + std::chrono::milliseconds(timeoutMs)));
            const auto work = (waitBegan - lastAccounted) + (now - waitEnded);
            if (work > interval)
                stalled += work;
            const auto whole = (now - tickedUpTo) / Opts.TickPeriod;
            tickedUpTo += Opts.TickPeriod * whole;
            dueTicks += whole;
            if (stalled > interval)
                dueTicks = std::min<int64_t>(dueTicks, kMaxTickBacklog);
            lastAccounted = now;
        }
        if (dueTicks > 0) {
            // No further than the first timer that runs out: its work (the keep-alive) comes in the
            // next pass, after that pass's reading, before the rest of the ticks.
            const auto n = static_cast<int32_t>(std::min<int64_t>(dueTicks, std::max<int32_t>(nextDue, 1)));
            nextDue = INT32_MAX;
            for (auto& [handle, w] : watched) {
                Asp& dev = *w.Dev;
                if (dev.ApplyTicks(n) == -1) {
                    closed(dev, CLOSED_SILENT);
                    attend.insert(handle); // leaves the poller next pass
                    continue;
                }
                if (dev.IdleTimer.load() == 0)
                    attend.insert(handle); // the keep-alive goes out next pass
                nextDue = std::min(nextDue, dev.TicksToDue());
            }
            dueTicks -= n;
            TicksDone.fetch_add(static_cast<uint64_t>(n));
        }
        if (wrote)
            SignalSent();
        Passes.fetch_add(1);
    }
    // No wait watches a socket any more: what is retired from now on is closed at once.
    {
        std::lock_guard<std::mutex> hold(DirtyLock);
        LinkRunning = false;
        retired.swap(Retired);
    }
    CloseRetired(retired);
}
