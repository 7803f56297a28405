// The device simulator's sockets: one poll loop over the listeners, the session socket and a stop
// pipe; replies leave through a queue that applies the transport fault triggers.
#include "tools/fwdevsim/simserver.h"

#include "tools/mkfwcfg/cfgwriter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One piece of outgoing bytes and the time it may leave.
struct Chunk {
    Clock::time_point Due;
    std::vector<uint8_t> Bytes;
    std::size_t Sent = 0;
};

std::string ErrorText(int err) {
    return std::strerror(err);
}

std::optional<in_addr> ResolveIPv4(const std::string& address) {
    in_addr addr{};
    if (inet_pton(AF_INET, address.c_str(), &addr) == 1) {
        return addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
        return std::nullopt;
    }
    addr = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    return addr;
}

std::string PeerText(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return "?";
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

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
bool SendDue(int fd, std::deque<Chunk>& queue, bool ignoreDue) {
    while (!queue.empty() && (ignoreDue || queue.front().Due <= Clock::now())) {
        Chunk& c = queue.front();
        const ssize_t n =
            send(fd, c.Bytes.data() + c.Sent, c.Bytes.size() - c.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        c.Sent += static_cast<std::size_t>(n);
        if (c.Sent < c.Bytes.size()) {
            return true; // the socket is full; poll says when it takes more
        }
        queue.pop_front();
    }
    return true;
}

} // namespace

SimServer::SimServer(SimOptions options)
    : options_(std::move(options)), device_(options_.Identity, options_.ModelFaults) {
    if (pipe2(stopPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
        stopPipe_[0] = stopPipe_[1] = -1;
    }
}

SimServer::~SimServer() {
    for (int fd : {listenFd_, reconnectFd_, stopPipe_[0], stopPipe_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void SimServer::Stop() {
    const char byte = 1;
    if (write(stopPipe_[1], &byte, 1) < 0) {
        // nothing more a signal handler may do
    }
}

int SimServer::Listen(uint16_t port, uint16_t& bound, std::string& error) {
    const std::string where = options_.Address + ":" + std::to_string(port);
    const auto addr = ResolveIPv4(options_.Address);
    if (!addr) {
        error = "cannot listen on " + where + ": not an IPv4 address or known host name";
        return -1;
    }
    // A simulator plays a device for tests and the demo: it stays on loopback.
    if ((ntohl(addr->s_addr) >> 24) != 127) {
        error = "cannot listen on " + where + ": only loopback addresses (127.x.x.x) are served";
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + ErrorText(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = *addr;
    sa.sin_port = htons(port);
    // A bound socket that does not listen makes the system refuse every connection to it.
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (!options_.Refuse && listen(fd, 8) != 0)) {
        error = "cannot listen on " + where + ": " + ErrorText(errno);
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    bound = ntohs(sa.sin_port);
    return fd;
}

std::optional<std::string> SimServer::Bind() {
    if (stopPipe_[0] < 0) {
        return "cannot create the stop pipe: " + ErrorText(errno);
    }
    std::string error;
    listenFd_ = Listen(options_.Port, port_, error);
    if (listenFd_ < 0) {
        return error;
    }
    if (options_.ReconnectPort && *options_.ReconnectPort != port_) {
        uint16_t bound = 0;
        reconnectFd_ = Listen(*options_.ReconnectPort, bound, error);
        if (reconnectFd_ < 0) {
            return error + " (the reconnect port; --no-reconnect-port leaves it out)";
        }
        reconnectPort_ = bound;
    }
    return std::nullopt;
}

int SimServer::Run(std::FILE* out) {
    while (!stopping_) {
        pollfd fds[3] = {{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}, {reconnectFd_, POLLIN, 0}};
        // A refusing simulator only waits to be stopped.
        const nfds_t count = options_.Refuse ? 1 : (reconnectFd_ >= 0 ? 3 : 2);
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "fwdevsim: poll failed: %s\n", ErrorText(errno).c_str());
            return 1;
        }
        if (fds[0].revents != 0) {
            break;
        }
        for (nfds_t i = 1; i < count && !stopping_; ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            const int fd = accept4(fds[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            Serve(fd, i == 1 ? port_ : reconnectPort_.value_or(0), out);
            if (options_.Once) {
                return 0;
            }
        }
    }
    return 0;
}

void SimServer::Serve(int fd, uint16_t localPort, std::FILE* out) {
    ++sessions_;
    device_.Reset();
    const std::string peer = PeerText(fd);
    std::fprintf(stderr, "fwdevsim: session %lld from %s on port %u\n", static_cast<long long>(sessions_),
                 peer.c_str(), localPort);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::deque<Chunk> queue;
    Clock::time_point lastDue = Clock::now();
    uint32_t junkState = 0x2545F491u;
    std::vector<uint8_t> buf(65536);
    std::string end = options_.HangUp ? "hang-up" : "";

    // Queues one reply frame with the faults applied: junk before it, its delay, one byte per send.
    const auto enqueue = [&](std::vector<uint8_t> frame) {
        const auto due = Clock::now() + milliseconds(options_.DelayMs);
        std::vector<std::vector<uint8_t>> pieces;
        if (options_.Garbage) {
            pieces.push_back(Junk(junkState));
        }
        pieces.push_back(std::move(frame));
        for (auto& piece : pieces) {
            if (!options_.ByteByByte) {
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
        pollfd fds[2] = {{fd, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0},
                         {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            end = "error";
            break;
        }
        if (fds[1].revents != 0) {
            end = "shutdown";
            stopping_ = true;
            break;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n == 0) {
                end = "peer-close";
                break;
            }
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    // The tool's link aborts its connections (a reset): that is the peer closing too.
                    end = errno == ECONNRESET ? "peer-close" : "error";
                    break;
                }
            } else {
                for (auto& frame : device_.Feed(buf.data(), static_cast<std::size_t>(n))) {
                    if (!options_.Silent) {
                        enqueue(std::move(frame));
                    }
                }
                if (device_.WantsClose()) {
                    // Whatever was answered goes out before the connection is closed.
                    const auto deadline = Clock::now() + milliseconds(1000);
                    while (!queue.empty() && Clock::now() < deadline && SendDue(fd, queue, true)) {
                        pollfd w{fd, POLLOUT, 0};
                        poll(&w, 1, 10);
                    }
                    end = "fault-close";
                    break;
                }
            }
        }
        if (!SendDue(fd, queue, false)) {
            end = errno == ECONNRESET || errno == EPIPE ? "peer-close" : "error";
        }
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);

    const SimSessionReport report = device_.Report();
    const std::string json = SimDevice::ToJson(report, end, sessions_, peer, localPort);
    std::fprintf(out, "%s\n", json.c_str());
    std::fflush(out);
    std::fprintf(stderr, "fwdevsim: session %lld ended (%s)\n", static_cast<long long>(sessions_),
                 end.c_str());
    if (!options_.ImageOut.empty() && report.Pages > 0 && !WriteFileBytes(options_.ImageOut, report.Image)) {
        std::fprintf(stderr, "fwdevsim: cannot write %s\n", options_.ImageOut.c_str());
    }
}
