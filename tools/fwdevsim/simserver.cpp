// The device simulator's sockets: one poller over the listeners or the session socket, and the stop
// wake-up; replies leave through a queue that applies the transport fault triggers.
#include "tools/fwdevsim/simserver.h"

#include "tools/mkfwcfg/cfgwriter.h"

#include "link/device.h"
#include "link/sockets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the poller watches: the listeners between sessions, the session's socket during one.
constexpr uint64_t kListenKey = 0;
constexpr uint64_t kReconnectKey = 1;
constexpr uint64_t kSessionKey = 2;

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

// Sends what is due; false when the connection failed.
bool SendDue(SockHandle fd, std::deque<Chunk>& queue, bool ignoreDue) {
    while (!queue.empty() && (ignoreDue || queue.front().Due <= Clock::now())) {
        Chunk& c = queue.front();
        const int n = SockSend(fd, c.Bytes.data() + c.Sent, c.Bytes.size() - c.Sent);
        if (n < 0) {
            return false;
        }
        c.Sent += static_cast<std::size_t>(n);
        if (c.Sent < c.Bytes.size()) {
            return true; // the socket is full; the wait says when it takes more
        }
        queue.pop_front();
    }
    return true;
}

} // namespace

SimServer::SimServer(SimOptions options)
    : options_(std::move(options)), device_(options_.Identity, options_.ModelFaults) {}

SimServer::~SimServer() {
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
    const SockHandle fd = SockListen(options_.Address, port, !options_.Refuse, 0, &boundPort, &reason);
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

bool SimServer::WatchListeners(bool watch) {
    // A refusing simulator only waits to be stopped.
    if (options_.Refuse) {
        return true;
    }
    if (!watch) {
        poller_.Remove(listenFd_, kListenKey);
        poller_.Remove(reconnectFd_, kReconnectKey);
        return true;
    }
    return poller_.Add(listenFd_, kListenKey, false) &&
           (reconnectFd_ == kNoSock || poller_.Add(reconnectFd_, kReconnectKey, false));
}

int SimServer::Run(std::FILE* out) {
    std::vector<SockPoller::Event> ready;
    while (!stopping_) {
        bool woken = false;
        if (!WatchListeners(true) || poller_.Wait(ready, -1, &stop_, &woken) < 0) {
            std::fprintf(stderr, "fwdevsim: waiting for connections failed: %s\n",
                         SockLastErrorText().c_str());
            return 1;
        }
        if (woken) {
            break;
        }
        // The device's own port before the reconnect port.
        std::sort(ready.begin(), ready.end(),
                  [](const SockPoller::Event& a, const SockPoller::Event& b) { return a.Key < b.Key; });
        for (const SockPoller::Event& e : ready) {
            if (stopping_ || !e.Readable || (e.Key != kListenKey && e.Key != kReconnectKey)) {
                continue;
            }
            const bool own = e.Key == kListenKey;
            const SockHandle fd = SockAccept(own ? listenFd_ : reconnectFd_);
            if (fd == kNoSock) {
                continue;
            }
            WatchListeners(false);
            Serve(fd, own ? port_ : reconnectPort_.value_or(0), out);
            if (options_.Once) {
                return 0;
            }
            break; // the listeners are watched anew, and what waits meanwhile is reported again
        }
    }
    return 0;
}

void SimServer::Serve(SockHandle fd, uint16_t localPort, std::FILE* out) {
    ++sessions_;
    // With --fault-sessions N only the first N sessions carry the fault triggers: a device that drops
    // the link once and then takes the update again.
    const bool faulty = !options_.FaultSessions || sessions_ <= *options_.FaultSessions;
    const bool silent = faulty && options_.Silent;
    const bool byteByByte = faulty && options_.ByteByByte;
    const bool garbage = faulty && options_.Garbage;
    const int delayMs = faulty ? options_.DelayMs : 0;
    device_.Reset(faulty);
    // Wall-clock times (ms since 1970) of the update start and of the end of the image, so that the
    // sessions of several simulators can be laid side by side.
    std::optional<int64_t> startedAt, imageEndedAt;
    const auto wallMs = [] {
        return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const std::string peer = SockPeerText(fd);
    std::fprintf(stderr, "fwdevsim: session %lld from %s on port %u\n", static_cast<long long>(sessions_),
                 peer.c_str(), localPort);

    std::deque<Chunk> queue;
    Clock::time_point lastDue = Clock::now();
    uint32_t junkState = 0x2545F491u;
    // Not zeroed: a thousand sessions starting at once would clear 64 MB that recv overwrites anyway.
    constexpr std::size_t kReceiveBytes = 65536;
    const auto buf = std::make_unique_for_overwrite<uint8_t[]>(kReceiveBytes);
    std::vector<SockPoller::Event> ready; // the session's socket is the only one watched now
    std::string end = faulty && options_.HangUp ? "hang-up" : "";

    // Queues one reply frame with the faults applied: junk before it, its delay, one byte per send.
    const auto enqueue = [&](std::vector<uint8_t> frame) {
        const auto due = Clock::now() + milliseconds(delayMs);
        std::vector<std::vector<uint8_t>> pieces;
        if (garbage) {
            pieces.push_back(Junk(junkState));
        }
        pieces.push_back(std::move(frame));
        for (auto& piece : pieces) {
            if (!byteByByte) {
                lastDue = std::max(due, lastDue);
                queue.push_back(Chunk{lastDue, std::move(piece)});
                continue;
            }
            for (uint8_t b : piece) {
                lastDue = std::max(due, lastDue + milliseconds(1));
                queue.push_back(Chunk{lastDue, {b}});
            }
        }
    };

    while (end.empty()) {
        const bool due = !queue.empty() && queue.front().Due <= Clock::now();
        int timeout = -1;
        if (!queue.empty() && !due) {
            const auto wait = std::chrono::ceil<milliseconds>(queue.front().Due - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(wait.count(), 1));
        }
        bool woken = false;
        if (!poller_.Add(fd, kSessionKey, due) || poller_.Wait(ready, timeout, &stop_, &woken) < 0) {
            end = "error";
            break;
        }
        if (woken) {
            end = "shutdown";
            stopping_ = true;
            break;
        }
        if (!ready.empty() && ready.front().Readable) {
            const int n = SockRecv(fd, buf.get(), kReceiveBytes);
            if (n == 0) {
                end = "peer-close";
                break;
            }
            if (n < 0) {
                if (n != kWouldBlock) {
                    // A connection the peer aborts (a reset) is the peer closing too.
                    end = SockLastErrorWasReset() ? "peer-close" : "error";
                    break;
                }
            } else {
                for (auto& frame : device_.Feed(buf.get(), static_cast<std::size_t>(n))) {
                    if (!silent) {
                        enqueue(std::move(frame));
                    }
                }
                if (!startedAt && device_.Received().UpdateStarted) {
                    startedAt = wallMs();
                }
                if (!imageEndedAt && device_.Received().ImageEnded) {
                    imageEndedAt = wallMs();
                }
                if (device_.WantsClose()) {
                    // Whatever was answered goes out before the connection is closed.
                    const auto deadline = Clock::now() + milliseconds(1000);
                    while (!queue.empty() && Clock::now() < deadline && SendDue(fd, queue, true)) {
                        std::vector<SockWaitEntry> w{{fd, false, true, false, false}};
                        SockWait(w, 10);
                    }
                    end = "fault-close";
                    break;
                }
            }
        }
        if (!SendDue(fd, queue, false)) {
            end = SockLastErrorWasReset() ? "peer-close" : "error";
        }
    }
    poller_.Remove(fd, kSessionKey);
    SockShutdown(fd);
    SockClose(fd);

    SimSessionReport report = device_.Report();
    report.UpdateStartedAt = startedAt;
    report.ImageEndedAt = imageEndedAt;
    // The image is written before the session's line: whoever reads that line finds the file complete.
    if (!options_.ImageOut.empty() && report.Pages > 0 && !WriteFileBytes(options_.ImageOut, report.Image)) {
        std::fprintf(stderr, "fwdevsim: cannot write %s\n", options_.ImageOut.c_str());
    }
    const std::string json = SimDevice::ToJson(options_.Address, report, end, sessions_, peer, localPort);
    std::fprintf(out, "%s\n", json.c_str());
    std::fflush(out);
    std::fprintf(stderr, "fwdevsim: session %lld ended (%s)\n", static_cast<long long>(sessions_),
                 end.c_str());
}
