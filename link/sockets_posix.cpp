// The socket calls of the device link and the simulator, on POSIX sockets, poll () and epoll.
#include "link/sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include "link/device.h"

namespace {

constexpr int kConnectLimitMs = 1000;

// A host name or dotted address holds letters, digits, '.', '-' and '_' only; anything
// else (a space, a '!') fails here without asking the resolver.
bool LooksLikeHost(const std::string& text) {
    if (text.empty() || text.size() > 253)
        return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

// A wait of timeoutMs (-1: no limit) that a signal may end early: call (ms) with what is left of it,
// again after each interruption, so that a signal (or a stop and continue of the process) never makes
// the whole wait start over. The call's last result.
template <class Call> int WaitRestarted(int timeoutMs, Call&& call) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    int left = timeoutMs;
    for (;;) {
        const int r = call(left);
        if (r >= 0 || errno != EINTR)
            return r;
        if (timeoutMs >= 0) {
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            left = static_cast<int>(std::max<int64_t>(rest.count(), 0));
        }
    }
}

} // namespace

std::optional<uint32_t> SockResolve(const std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) == 1)
        return a.s_addr;
    if (!LooksLikeHost(address))
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const uint32_t ip = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return ip;
}

uint32_t SockDottedIp(const std::string& text) {
    return inet_addr(text.c_str());
}

namespace {

// What a failed connect's error number says.
SockConnectProblem ConnectProblemOf(int error) {
    switch (error) {
    case ECONNREFUSED:
        return SockConnectProblem::Refused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return SockConnectProblem::NoRoute;
    case ETIMEDOUT:
        return SockConnectProblem::TimedOut;
    default:
        return SockConnectProblem::Failed;
    }
}

} // namespace

SockHandle SockConnect(const std::string& address, int port, int sendBufferSize,
                       SockConnectProblem* problem) {
    SockConnectProblem ignored;
    SockConnectProblem& why = problem != nullptr ? *problem : ignored;
    why = SockConnectProblem::BadAddress;
    if (address.empty() || port < 1 || port > 65535)
        return kNoSock;
    why = SockConnectProblem::NotResolved;
    if (!LooksLikeHost(address))
        return kNoSock;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return kNoSock;
    sockaddr_in to{};
    to = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    to.sin_port = htons(static_cast<uint16_t>(port));

    why = SockConnectProblem::Failed;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return kNoSock;
    const int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (sendBufferSize > 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBufferSize, sizeof sendBufferSize);
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        why = SockConnectProblem::None;
        return sock;
    }
    if (errno != EINPROGRESS) {
        why = ConnectProblemOf(errno);
        close(sock);
        return kNoSock;
    }
    // Wait up to the connect time limit for the outcome: a refusal within it fails, a
    // connection still in progress after it counts as success.
    pollfd p{sock, POLLOUT, 0};
    const int ready = WaitRestarted(kConnectLimitMs, [&](int ms) { return poll(&p, 1, ms); });
    why = SockConnectProblem::Pending;
    if (ready > 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            why = ConnectProblemOf(error);
            close(sock);
            return kNoSock;
        }
        why = SockConnectProblem::None;
    }
    return sock;
}

SockHandle SockListen(const std::string& address, int port, bool listen, int receiveBuffer, int* boundPort,
                      std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const std::optional<uint32_t> ip = SockResolve(address);
    if (!ip) {
        *error = "not an IPv4 address or known host name";
        return kNoSock;
    }
    a.sin_addr.s_addr = *ip;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *error = std::strerror(errno);
        return kNoSock;
    }
    const int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    socklen_t size = sizeof a;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (listen && ::listen(sock, 128) != 0) ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        *error = std::strerror(errno);
        close(sock);
        return kNoSock;
    }
    *boundPort = ntohs(a.sin_port);
    return sock;
}

SockHandle SockAccept(SockHandle listener) {
    int sock;
    do
        sock = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (sock < 0 && errno == EINTR);
    if (sock < 0)
        return kNoSock;
    const int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return sock;
}

bool SockLastErrorWasReset() {
    return errno == ECONNRESET || errno == EPIPE;
}

bool SockLastErrorWasOutOfFiles() {
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}

std::string SockLastErrorText() {
    return std::strerror(errno);
}

void SockClose(SockHandle sock) {
    if (sock < 0)
        return;
    close(static_cast<int>(sock));
}

void SockShutdown(SockHandle sock) {
    if (sock >= 0)
        shutdown(static_cast<int>(sock), SHUT_RDWR);
}

void SockShutdownSend(SockHandle sock) {
    if (sock >= 0)
        shutdown(static_cast<int>(sock), SHUT_WR);
}

std::string SockPeerText(SockHandle sock) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    char text[INET_ADDRSTRLEN] = "?";
    if (sock < 0 || getpeername(static_cast<int>(sock), reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text) == nullptr)
        return "?";
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

int SockRecv(SockHandle sock, uint8_t* data, size_t len) {
    const ssize_t r = recv(static_cast<int>(sock), data, len, MSG_DONTWAIT);
    if (r >= 0)
        return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kWouldBlock;
    return -1;
}

int SockSend(SockHandle sock, const uint8_t* data, size_t len) {
    const ssize_t r = send(static_cast<int>(sock), data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r >= 0)
        return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return -1;
}

SockWake::SockWake() {
    int pipe[2];
    if (pipe2(pipe, O_NONBLOCK | O_CLOEXEC) == 0) {
        End[0] = pipe[0];
        End[1] = pipe[1];
    }
}

SockWake::~SockWake() {
    if (End[0] >= 0) {
        close(static_cast<int>(End[0]));
        close(static_cast<int>(End[1]));
    }
}

void SockWake::Signal() {
    if (End[1] < 0)
        return;
    const uint8_t one = 1;
    [[maybe_unused]] const ssize_t r =
        write(static_cast<int>(End[1]), &one, 1); // a full pipe is awake already
}

void SockWake::Drain() {
    if (End[0] < 0)
        return;
    uint8_t drain[256];
    while (read(static_cast<int>(End[0]), drain, sizeof drain) > 0) {
    }
}

int SockWait(std::vector<SockWaitEntry>& set, int timeoutMs, SockWake* wake, bool* woken) {
    if (woken != nullptr)
        *woken = false;
    std::vector<pollfd> fds(set.size());
    for (size_t i = 0; i < set.size(); ++i) {
        fds[i].fd = static_cast<int>(set[i].Sock);
        fds[i].events = static_cast<short>((set[i].WantRead ? POLLIN : 0) | (set[i].WantWrite ? POLLOUT : 0));
        set[i].Readable = set[i].Writable = false;
    }
    if (wake != nullptr && wake->Ready())
        fds.push_back({static_cast<int>(wake->ReadEnd()), POLLIN, 0});
    // A signal ends poll early; its handler may have signalled wake, which the next poll sees.
    const int r = WaitRestarted(timeoutMs < 0 ? -1 : timeoutMs,
                                [&](int ms) { return poll(fds.data(), fds.size(), ms); });
    if (r <= 0)
        return r < 0 ? -1 : 0;
    if (fds.size() > set.size() && fds.back().revents != 0) {
        wake->Drain();
        if (woken != nullptr)
            *woken = true;
    }
    int ready = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        const short ev = fds[i].revents;
        // As with select: a socket with an error or a hang-up counts as readable (the
        // read reports it), and as writable when a write was wanted.
        set[i].Readable = set[i].WantRead && (ev & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
        set[i].Writable = set[i].WantWrite && (ev & (POLLOUT | POLLERR | POLLHUP | POLLNVAL));
        ready += (set[i].Readable || set[i].Writable) ? 1 : 0;
    }
    return ready;
}

// The kernel forgets a socket of an epoll set when it is closed; Watched remembers what this poller
// registered, so that a reused number is registered anew and a stale Remove leaves the new owner alone.
struct SockPoller::Impl {
    struct Watch {
        uint64_t Key = 0;
        bool WantWrite = false;
        bool WantRead = true;
    };
    int Epoll = -1;
    SockHandle WakeEnd = kNoSock; // the wake-up's read end, once registered
    std::unordered_map<SockHandle, Watch> Watched;
    std::vector<epoll_event> Events;
};

namespace {

// An event carries the socket itself; its key is looked up in Watched.
bool EpollSet(int epoll, int op, SockHandle sock, bool wantWrite, bool wantRead = true) {
    epoll_event ev{};
    ev.events = (wantRead ? EPOLLIN : 0u) | (wantWrite ? EPOLLOUT : 0u);
    ev.data.fd = static_cast<int>(sock);
    return epoll_ctl(epoll, op, static_cast<int>(sock), &ev) == 0;
}

} // namespace

SockPoller::SockPoller() : P(std::make_unique<Impl>()) {
    P->Epoll = epoll_create1(EPOLL_CLOEXEC);
}

SockPoller::~SockPoller() {
    if (P->Epoll >= 0)
        close(P->Epoll);
}

bool SockPoller::Ready() const {
    return P->Epoll >= 0;
}

size_t SockPoller::Size() const {
    return P->Watched.size();
}

bool SockPoller::Add(SockHandle sock, uint64_t key, bool wantWrite, bool wantRead) {
    if (P->Epoll < 0 || sock < 0)
        return false;
    const auto it = P->Watched.find(sock);
    if (it != P->Watched.end() && it->second.Key == key && it->second.WantWrite == wantWrite &&
        it->second.WantRead == wantRead)
        return true;
    // A number watched before may have been closed and reused meanwhile: then the kernel has
    // forgotten it and it is added; otherwise its watch is changed.
    const auto set = [&](int op) { return EpollSet(P->Epoll, op, sock, wantWrite, wantRead); };
    const bool done = it == P->Watched.end() ? set(EPOLL_CTL_ADD) || (errno == EEXIST && set(EPOLL_CTL_MOD))
                                             : set(EPOLL_CTL_MOD) || (errno == ENOENT && set(EPOLL_CTL_ADD));
    if (!done)
        return false;
    P->Watched[sock] = Impl::Watch{key, wantWrite, wantRead};
    return true;
}

void SockPoller::Remove(SockHandle sock, uint64_t key) {
    const auto it = P->Watched.find(sock);
    if (it == P->Watched.end() || it->second.Key != key)
        return;
    P->Watched.erase(it);
    epoll_ctl(P->Epoll, EPOLL_CTL_DEL, static_cast<int>(sock), nullptr);
}

void SockPoller::Forget(SockHandle sock, uint64_t key) {
    const auto it = P->Watched.find(sock);
    if (it != P->Watched.end() && it->second.Key == key)
        P->Watched.erase(it);
}

int SockPoller::Wait(std::vector<Event>& ready, int timeoutMs, SockWake* wake, bool* woken) {
    ready.clear();
    if (woken != nullptr)
        *woken = false;
    if (P->Epoll < 0)
        return -1;
    if (wake != nullptr && wake->Ready() && P->WakeEnd != wake->ReadEnd()) {
        if (P->WakeEnd != kNoSock)
            epoll_ctl(P->Epoll, EPOLL_CTL_DEL, static_cast<int>(P->WakeEnd), nullptr);
        P->WakeEnd = EpollSet(P->Epoll, EPOLL_CTL_ADD, wake->ReadEnd(), false) ? wake->ReadEnd() : kNoSock;
    }
    // More ready sockets than this come in the next wait (the set reports them until served).
    P->Events.resize(std::max<size_t>(16, std::min<size_t>(P->Watched.size() + 1, 1024)));
    // A signal ends the wait early; its handler may have signalled wake, which the next wait sees.
    const int r = WaitRestarted(timeoutMs < 0 ? -1 : timeoutMs, [&](int ms) {
        return epoll_wait(P->Epoll, P->Events.data(), static_cast<int>(P->Events.size()), ms);
    });
    if (r < 0)
        return -1;
    for (int i = 0; i < r; ++i) {
        const epoll_event& ev = P->Events[static_cast<size_t>(i)];
        const SockHandle sock = ev.data.fd;
        if (sock == P->WakeEnd) {
            if (wake != nullptr && sock == wake->ReadEnd()) {
                wake->Drain();
                if (woken != nullptr)
                    *woken = true;
            }
            continue;
        }
        const auto it = P->Watched.find(sock);
        if (it == P->Watched.end())
            continue; // removed (and closed) since the kernel reported it
        // As with poll: an error or a hang-up counts as readable (the read reports it), and as writable
        // when a write was wanted.
        Event e;
        e.Key = it->second.Key;
        e.Readable = it->second.WantRead && (ev.events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0;
        e.Writable = it->second.WantWrite && (ev.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
        if (e.Readable || e.Writable)
            ready.push_back(e);
    }
    return static_cast<int>(ready.size());
}

std::vector<SockNetwork> SockLocalNetworks() {
    std::vector<SockNetwork> networks;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return networks;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr || a->ifa_addr->sa_family != AF_INET ||
            (a->ifa_flags & IFF_UP) == 0)
            continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
        networks.push_back({address, __builtin_popcount(mask)});
    }
    freeifaddrs(list);
    return networks;
}
