// The device simulator's sockets: one poller over every device's listeners and sessions, and the stop
// wake-up; replies leave through a queue per session that applies the transport fault triggers. A session
// whose device is busy (a page being written) or whose queue is full is not read, as a real device's
// buffer would stop taking bytes; its time comes by a timer, never a sleep.
#include "tools/fwdevsim/simserver.h"

#include "tools/mkfwcfg/cfgwriter.h"

#include "link/device.h"
#include "link/sockets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the poller watches of device i: its listeners between sessions (keys 3i and 3i + 1), its session's
// socket during one (3i + 2).
constexpr uint64_t kKeysPerDevice = 3;
constexpr uint64_t kListenKey = 0;
constexpr uint64_t kReconnectKey = 1;
constexpr uint64_t kSessionKey = 2;

// The longest a closing session (a fault trigger closes it) takes to send what it answered.
constexpr milliseconds kClosingLimit{1000};
// How often a closing session whose socket is full tries again.
constexpr milliseconds kClosingRetry{10};
// A session's receive buffer (one for all sessions: they are served one after another).
constexpr std::size_t kReceiveBytes = 65536;
// What a device with a small receive window (an embedded network stack) reads at a time.
constexpr std::size_t kSmallReads = 512;
// Unsent replies a session holds at most before it stops reading (a peer that does not read).
constexpr std::size_t kQueueLimit = 65536;
// How long a device that could not take a connection for want of open files leaves its listeners alone.
constexpr milliseconds kAcceptBackOff{1000};

// One piece of outgoing bytes and the time it may leave.
struct Chunk {
    Clock::time_point Due;
    std::vector<uint8_t> Bytes;
    std::size_t Sent = 0;
};

// Junk between reply frames. It never holds 0xDA, the first byte of a start marker, so a scanner
// that skips garbage resynchronises on the real frame that follows.
std::vector<uint8_t> Junk(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::vector<uint8_t> junk(1 + state % 7);
    for (auto& b : junk) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<uint8_t>(state >> 24);
        if (b == 0xDA) {
            b = 0xFE;
        }
    }
    return junk;
}

// Sends what is due, counting it off queued; false when the connection failed.
bool SendDue(SockHandle fd, std::deque<Chunk>& queue, std::size_t& queued, bool ignoreDue) {
    while (!queue.empty() && (ignoreDue || queue.front().Due <= Clock::now())) {
        Chunk& c = queue.front();
        const int n = SockSend(fd, c.Bytes.data() + c.Sent, c.Bytes.size() - c.Sent);
        if (n < 0) {
            return false;
        }
        c.Sent += static_cast<std::size_t>(n);
        queued -= static_cast<std::size_t>(n);
        if (c.Sent < c.Bytes.size()) {
            return true; // the socket is full; the wait says when it takes more
        }
        queue.pop_front();
    }
    return true;
}

} // namespace

// One connection being served.
struct SimServer::Session {
    SockHandle Fd = kNoSock;
    SockPoller* Poller = nullptr; // watches Fd under Key
    uint64_t Key = 0;
    uint16_t LocalPort = 0;
    std::string Peer;
    // The fault triggers of this session (with --fault-sessions N only the first N sessions carry them).
    bool Silent = false;
    bool ByteByByte = false;
    bool Garbage = false;
    int DelayMs = 0;
    int PageMs = 0;
    std::size_t ReadLimit = kReceiveBytes; // the most one read takes
    // While a page is being written: when it is done. Nothing is read meanwhile.
    std::optional<Clock::time_point> BusyUntil;
    // Wall-clock times (ms since 1970) of the update start and of the end of the image, so that the
    // sessions of several simulators can be laid side by side.
    std::optional<int64_t> StartedAt, ImageEndedAt;
    std::deque<Chunk> Queue;
    std::size_t Queued = 0; // unsent bytes in Queue
    Clock::time_point LastDue = Clock::now();
    uint32_t JunkState = 0x2545F491u;
    // A fault trigger asked to close: what was answered goes out first, for at most kClosingLimit.
    bool Closing = false;
    Clock::time_point CloseBy;
    Clock::time_point NextTry;

    // Queues one reply frame with the faults applied: junk before it, its delay, one byte per send.
    void Enqueue(std::vector<uint8_t> frame) {
        const auto due = Clock::now() + milliseconds(DelayMs);
        std::vector<std::vector<uint8_t>> pieces;
        if (Garbage) {
            pieces.push_back(Junk(JunkState));
        }
        pieces.push_back(std::move(frame));
        for (auto& piece : pieces) {
            Queued += piece.size();
            if (!ByteByByte) {
                LastDue = std::max(due, LastDue);
                Queue.push_back(Chunk{LastDue, std::move(piece)});
                continue;
            }
            for (uint8_t b : piece) {
                LastDue = std::max(due, LastDue + milliseconds(1));
                Queue.push_back(Chunk{LastDue, {b}});
            }
        }
    }

    // Whether the device takes bytes now: not while it writes a page, nor while its replies back up.
    bool Reading() const { return !Closing && !BusyUntil && Queued < kQueueLimit; }
};

SimServer::SimServer(SimOptions options)
    : options_(std::move(options)), device_(options_.Identity, options_.ModelFaults) {}

SimServer::~SimServer() {
    if (session_) {
        SockClose(session_->Fd);
    }
    SockClose(listenFd_);
    SockClose(reconnectFd_);
}

void SimServer::Stop() {
    stop_.Signal();
}

SockHandle SimServer::Listen(uint16_t port, uint16_t& bound, std::string& error) {
    const std::string where = options_.Address + ":" + std::to_string(port);
    const auto addr = SockResolve(options_.Address);
    if (!addr) {
        error = "cannot listen on " + where + ": not an IPv4 address or known host name";
        return kNoSock;
    }
    // A simulator plays a device for tests and the demo: it stays on loopback (network byte order:
    // the first byte in memory is the first number of the address).
    if (reinterpret_cast<const uint8_t*>(&*addr)[0] != 127) {
        error = "cannot listen on " + where + ": only loopback addresses (127.x.x.x) are served";
        return kNoSock;
    }
    // A bound socket that does not listen makes the system refuse every connection to it.
    int boundPort = 0;
    std::string reason;
    // A small receive buffer is set before listening, so that the window the connection starts with is small.
    const SockHandle fd =
        SockListen(options_.Address, port, !options_.Refuse, options_.ReceiveBuffer, &boundPort, &reason);
    if (fd == kNoSock) {
        error = "cannot listen on " + where + ": " + reason;
        return kNoSock;
    }
    bound = static_cast<uint16_t>(boundPort);
    return fd;
}

std::optional<std::string> SimServer::Bind() {
    if (!stop_.Ready()) {
        return "cannot create the stop wake-up: " + SockLastErrorText();
    }
    std::string error;
    listenFd_ = Listen(options_.Port, port_, error);
    if (listenFd_ == kNoSock) {
        return error;
    }
    if (options_.ReconnectPort && *options_.ReconnectPort != port_) {
        uint16_t bound = 0;
        reconnectFd_ = Listen(*options_.ReconnectPort, bound, error);
        if (reconnectFd_ == kNoSock) {
            return error + " (the reconnect port; --no-reconnect-port leaves it out)";
        }
        reconnectPort_ = bound;
    }
    return std::nullopt;
}

bool SimServer::WatchListeners(SockPoller& poller, uint64_t key, bool watch) {
    // A refusing simulator only waits to be stopped.
    if (options_.Refuse) {
        return true;
    }
    if (!watch) {
        poller.Remove(listenFd_, key + kListenKey);
        poller.Remove(reconnectFd_, key + kReconnectKey);
        return true;
    }
    return poller.Add(listenFd_, key + kListenKey, false) &&
           (reconnectFd_ == kNoSock || poller.Add(reconnectFd_, key + kReconnectKey, false));
}

int SimServer::Run(std::FILE* out) {
    return ServeDevices({this}, out, stop_);
}

SimServer::Accepted SimServer::Accept(bool own, SockPoller& poller, uint64_t key, SimOutput& out) {
    const SockHandle fd = SockAccept(own ? listenFd_ : reconnectFd_);
    if (fd == kNoSock) {
        return SockLastErrorWasOutOfFiles() ? Accepted::OutOfFiles : Accepted::NoneWaiting;
    }
    // One connection at a time: a connection that comes meanwhile waits in the listener's queue.
    WatchListeners(poller, key, false);
    ++sessions_;
    const bool faulty = !options_.FaultSessions || sessions_ <= *options_.FaultSessions;
    session_ = std::make_unique<Session>();
    Session& s = *session_;
    s.Fd = fd;
    s.Poller = &poller;
    s.Key = key + kSessionKey;
    s.LocalPort = own ? port_ : reconnectPort_.value_or(0);
    s.Silent = faulty && options_.Silent;
    s.ByteByByte = faulty && options_.ByteByByte;
    s.Garbage = faulty && options_.Garbage;
    s.DelayMs = faulty ? options_.DelayMs : 0;
    s.PageMs = faulty ? options_.PageMs : 0;
    s.ReadLimit = options_.ReceiveBuffer > 0 ? kSmallReads : kReceiveBytes;
    device_.Reset(faulty);
    device_.HoldPages(s.PageMs > 0);
    s.Peer = SockPeerText(fd);
    out.Note("fwdevsim: session " + std::to_string(sessions_) + " from " + s.Peer + " on port " +
             std::to_string(s.LocalPort));
    if (faulty && options_.HangUp) {
        EndSession("hang-up", out);
    }
    return Accepted::Session;
}

bool SimServer::Answer(std::vector<std::vector<uint8_t>> frames) {
    Session& s = *session_;
    for (auto& frame : frames) {
        if (!s.Silent) {
            s.Enqueue(std::move(frame));
        }
    }
    const auto wallMs = [] {
        return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    if (!s.StartedAt && device_.Received().UpdateStarted) {
        s.StartedAt = wallMs();
    }
    if (!s.ImageEndedAt && device_.Received().ImageEnded) {
        s.ImageEndedAt = wallMs();
    }
    // A page has come: the device writes it, and takes nothing more until it is written.
    if (device_.PageWaiting()) {
        s.BusyUntil = Clock::now() + milliseconds(s.PageMs);
    }
    if (device_.WantsClose()) {
        s.Closing = true;
        s.CloseBy = Clock::now() + kClosingLimit;
    }
    return s.Closing;
}

void SimServer::Step(bool readable, uint8_t* buffer, std::size_t capacity, SimOutput& out) {
    Session& s = *session_;
    if (s.Closing) {
        // Whatever was answered goes out before the connection is closed.
        if (!s.Queue.empty() && Clock::now() < s.CloseBy && SendDue(s.Fd, s.Queue, s.Queued, true) &&
            !s.Queue.empty()) {
            s.NextTry = std::min(s.CloseBy, Clock::now() + kClosingRetry);
            return;
        }
        EndSession("fault-close", out);
        return;
    }
    // The page is written: it is acknowledged, and the device goes on (to the next page it holds).
    if (s.BusyUntil && *s.BusyUntil <= Clock::now()) {
        s.BusyUntil.reset();
        if (Answer(device_.Continue())) {
            Step(false, buffer, capacity, out);
            return;
        }
    }
    if (readable && s.Reading()) {
        const int n = SockRecv(s.Fd, buffer, std::min(capacity, s.ReadLimit));
        if (n == 0) {
            EndSession("peer-close", out);
            return;
        }
        if (n < 0) {
            if (n != kWouldBlock) {
                // A connection the peer aborts (a reset) is the peer closing too.
                EndSession(SockLastErrorWasReset() ? "peer-close" : "error", out);
                return;
            }
        } else if (Answer(device_.Feed(buffer, static_cast<std::size_t>(n)))) {
            Step(false, buffer, capacity, out);
            return;
        }
    }
    if (!SendDue(s.Fd, s.Queue, s.Queued, false)) {
        EndSession(SockLastErrorWasReset() ? "peer-close" : "error", out);
    }
}

std::optional<Clock::time_point> SimServer::Settle(SimOutput& out) {
    if (!session_) {
        return std::nullopt;
    }
    Session& s = *session_;
    if (s.Closing) {
        // Tried again by time alone: what the peer still sends is left unread, as it is at the close.
        s.Poller->Remove(s.Fd, s.Key);
        return s.NextTry;
    }
    const bool due = !s.Queue.empty() && s.Queue.front().Due <= Clock::now();
    if (!s.Reading() && !due) {
        // Neither read nor written until its time comes (below: a page written or a reply due).
        s.Poller->Remove(s.Fd, s.Key);
    } else if (!s.Poller->Add(s.Fd, s.Key, due, s.Reading())) {
        EndSession("error", out);
        return std::nullopt;
    }
    std::optional<Clock::time_point> next = s.BusyUntil;
    if (!s.Queue.empty() && !due) {
        next = std::min(next.value_or(s.Queue.front().Due), s.Queue.front().Due);
    }
    return next;
}

void SimServer::EndSession(const std::string& end, SimOutput& out) {
    const std::unique_ptr<Session> s = std::move(session_);
    s->Poller->Remove(s->Fd, s->Key);
    SockShutdown(s->Fd);
    SockClose(s->Fd);

    SimSessionReport report = device_.Report();
    report.UpdateStartedAt = s->StartedAt;
    report.ImageEndedAt = s->ImageEndedAt;
    std::string line = SimDevice::ToJson(options_.Address, report, end, sessions_, s->Peer, s->LocalPort);
    // The image is written before the session's line: whoever reads that line finds the file complete.
    if (!options_.ImageOut.empty() && report.Pages > 0) {
        out.Image(options_.ImageOut, std::move(report.Image));
    }
    out.Line(std::move(line));
    out.Note("fwdevsim: session " + std::to_string(sessions_) + " ended (" + end + ")");
}

// ---- serving many devices on one thread ----

class SimLoop {
public:
    SimLoop(const std::vector<SimServer*>& servers, std::FILE* out, SockWake& stop)
        : servers_(servers), output_(out, stderr), stop_(stop), due_(servers.size()),
          backingOff_(servers.size(), false),
          buffer_(std::make_unique_for_overwrite<uint8_t[]>(kReceiveBytes)) {}

    int Run(const std::function<void()>& ready) {
        const int rc = Serve(ready);
        if (acceptFailures_ > 0) {
            output_.Note("fwdevsim: taking a connection failed " + std::to_string(acceptFailures_) +
                         " times for want of open files");
        }
        // Every line is written (or counted as dropped) before the devices are gone.
        output_.Stop();
        return rc;
    }

private:
    int Serve(const std::function<void()>& ready) {
        int rc = 0;
        std::vector<bool> serving(servers_.size(), true);
        size_t left = servers_.size();
        const auto endServing = [&](size_t i) {
            serving[i] = false;
            --left;
        };
        for (size_t i = 0; i < servers_.size(); ++i) {
            if (!servers_[i]->WatchListeners(poller_, Key(i), true)) {
                WaitFailed();
                rc = 1;
                endServing(i);
            }
        }
        if (ready) {
            ready();
        }
        std::vector<SockPoller::Event> events;
        std::vector<size_t> stepped;
        while (left > 0) {
            int timeout = -1;
            if (!timers_.empty()) {
                const auto wait = std::chrono::ceil<milliseconds>(timers_.begin()->first - Clock::now());
                timeout = static_cast<int>(std::max<int64_t>(wait.count(), 0));
            }
            bool woken = false;
            if (poller_.Wait(events, timeout, &stop_, &woken) < 0) {
                WaitFailed();
                return 1;
            }
            if (woken) {
                // An open session is reported before the end.
                for (SimServer* server : servers_) {
                    if (server->InSession()) {
                        server->EndSession("shutdown", output_);
                    }
                }
                return rc;
            }
            // By key: device by device, and a device's own port before its reconnect port.
            std::sort(events.begin(), events.end(),
                      [](const SockPoller::Event& a, const SockPoller::Event& b) { return a.Key < b.Key; });
            stepped.clear();
            for (const SockPoller::Event& e : events) {
                const size_t i = e.Key / kKeysPerDevice;
                const uint64_t what = e.Key % kKeysPerDevice;
                if (i >= servers_.size() || !serving[i]) {
                    continue;
                }
                SimServer& server = *servers_[i];
                if (what == kSessionKey) {
                    if (server.InSession()) {
                        server.Step(e.Readable, buffer_.get(), kReceiveBytes, output_);
                        stepped.push_back(i);
                    }
                } else if (e.Readable && !server.InSession() && !backingOff_[i]) {
                    switch (server.Accept(what == kListenKey, poller_, Key(i), output_)) {
                    case SimServer::Accepted::Session:
                        stepped.push_back(i);
                        break;
                    case SimServer::Accepted::NoneWaiting:
                        break;
                    case SimServer::Accepted::OutOfFiles:
                        BackOff(i);
                        break;
                    }
                }
            }
            // The sessions whose time has come (a held-back reply, a page written, a closing one's next
            // try), and the devices whose pause after a failed accept is over.
            while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
                const size_t i = timers_.begin()->second;
                Unschedule(i);
                if (backingOff_[i]) {
                    backingOff_[i] = false;
                    if (!servers_[i]->InSession() && !servers_[i]->WatchListeners(poller_, Key(i), true)) {
                        WaitFailed();
                        rc = 1;
                        endServing(i);
                    }
                    continue;
                }
                if (servers_[i]->InSession()) {
                    servers_[i]->Step(false, buffer_.get(), kReceiveBytes, output_);
                }
                stepped.push_back(i);
            }
            for (const size_t i : stepped) {
                if (!serving[i]) {
                    continue;
                }
                SimServer& server = *servers_[i];
                Unschedule(i);
                if (const auto when = server.Settle(output_)) {
                    Schedule(i, *when);
                }
                if (server.InSession()) {
                    continue;
                }
                // The session has ended: with Once the device is done, otherwise it listens again.
                if (server.options_.Once) {
                    endServing(i);
                } else if (!server.WatchListeners(poller_, Key(i), true)) {
                    WaitFailed();
                    rc = 1;
                    endServing(i);
                }
            }
        }
        return rc;
    }

    // A connection is waiting but cannot be taken (too many open files): the listener stays readable, so
    // the device leaves it alone for a while instead of trying again at once, and the first time is said.
    void BackOff(size_t i) {
        const std::string why = SockLastErrorText();
        SimServer& server = *servers_[i];
        server.WatchListeners(poller_, Key(i), false);
        backingOff_[i] = true;
        Schedule(i, Clock::now() + kAcceptBackOff);
        if (acceptFailures_++ == 0) {
            output_.Note("fwdevsim: cannot take a connection on " + server.Address() + ":" +
                         std::to_string(server.Port()) + ": " + why +
                         "; each device tries again every second (ulimit -n raises the limit of open files)");
        }
    }

    static uint64_t Key(size_t i) { return static_cast<uint64_t>(i) * kKeysPerDevice; }
    void WaitFailed() { output_.Note("fwdevsim: waiting for connections failed: " + SockLastErrorText()); }
    void Schedule(size_t i, Clock::time_point when) {
        due_[i] = when;
        timers_.emplace(when, i);
    }
    void Unschedule(size_t i) {
        if (due_[i]) {
            timers_.erase({*due_[i], i});
            due_[i].reset();
        }
    }

    const std::vector<SimServer*>& servers_;
    SimOutput output_;
    SockWake& stop_;
    SockPoller poller_;
    // When a session next needs a step without its socket being ready, or a device's pause after a failed
    // accept ends, by device and in time order.
    std::vector<std::optional<Clock::time_point>> due_;
    std::set<std::pair<Clock::time_point, size_t>> timers_;
    std::vector<bool> backingOff_; // the device's listeners are left alone until its timer
    int64_t acceptFailures_ = 0;
    const std::unique_ptr<uint8_t[]> buffer_;
};

int ServeDevices(const std::vector<SimServer*>& servers, std::FILE* out, SockWake& stop,
                 const std::function<void()>& ready) {
    return SimLoop(servers, out, stop).Run(ready);
}
