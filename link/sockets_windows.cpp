// The socket calls of the device link and the simulator, on Winsock 2 and WSAPoll ().
#include "link/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <iphlpapi.h>

#include <unordered_map>

#include "link/device.h"

namespace {

constexpr int kConnectLimitMs = 1000;

// Winsock needs WSAStartup once per process before any other call; it stays up until the process ends.
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET Raw(SockHandle sock) {
    return static_cast<SOCKET>(sock);
}

SockHandle Handle(SOCKET sock) {
    return sock == INVALID_SOCKET ? kNoSock : static_cast<SockHandle>(sock);
}

bool SetNonBlocking(SOCKET sock) {
    u_long on = 1;
    return ioctlsocket(sock, FIONBIO, &on) == 0;
}

void SetNoDelay(SOCKET sock) {
    const BOOL one = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

// A non-blocking TCP socket that child processes do not inherit.
SOCKET NewSocket() {
    const SOCKET sock = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (sock == INVALID_SOCKET)
        return sock;
    if (!SetNonBlocking(sock)) {
        closesocket(sock);
        return INVALID_SOCKET;
    }
    return sock;
}

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

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

} // namespace

std::optional<uint32_t> SockResolve(const std::string& address) {
    in_addr a{};
    if (!Started())
        return std::nullopt;
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
    // inet_addr takes the same forms as on POSIX ("127.1" included).
    return Started() ? inet_addr(text.c_str()) : 0xFFFFFFFF;
}

namespace {

// What a failed connect's error number says.
SockConnectProblem ConnectProblemOf(int error) {
    switch (error) {
    case WSAECONNREFUSED:
        return SockConnectProblem::Refused;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
        return SockConnectProblem::NoRoute;
    case WSAETIMEDOUT:
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
    why = SockConnectProblem::Failed;
    if (!Started())
        return kNoSock;
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
    sockaddr_in to = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    to.sin_port = htons(static_cast<u_short>(port));

    why = SockConnectProblem::Failed;
    const SOCKET sock = NewSocket();
    if (sock == INVALID_SOCKET)
        return kNoSock;
    SetNoDelay(sock);
    if (sendBufferSize > 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBufferSize),
                   sizeof sendBufferSize);
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        why = SockConnectProblem::None;
        return Handle(sock);
    }
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
        why = ConnectProblemOf(started);
        closesocket(sock);
        return kNoSock;
    }
    // Winsock reports a failed connection attempt in the exception set only (WSAPoll misses it on
    // older systems), so this wait is a select.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock, &writable);
    FD_SET(sock, &failed);
    timeval limit{kConnectLimitMs / 1000, (kConnectLimitMs % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    why = SockConnectProblem::Pending;
    if (ready > 0) {
        int error = 0;
        int size = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
            error != 0 || FD_ISSET(sock, &failed)) {
            why = ConnectProblemOf(error);
            closesocket(sock);
            return kNoSock;
        }
        why = SockConnectProblem::None;
    }
    return Handle(sock);
}

SockHandle SockListen(const std::string& address, int port, bool listen, int receiveBuffer, int* boundPort,
                      std::string* error) {
    if (!Started()) {
        *error = "Winsock cannot be started";
        return kNoSock;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    const std::optional<uint32_t> ip = SockResolve(address);
    if (!ip) {
        *error = "not an IPv4 address or known host name";
        return kNoSock;
    }
    a.sin_addr.s_addr = *ip;
    const SOCKET sock = NewSocket();
    if (sock == INVALID_SOCKET) {
        *error = SockLastErrorText();
        return kNoSock;
    }
    // Windows's SO_REUSEADDR would let another program take the port as well; the exclusive use keeps
    // it ours (a port in TIME_WAIT binds on Windows anyway).
    const BOOL one = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (receiveBuffer > 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
    int size = sizeof a;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (listen && ::listen(sock, SOMAXCONN) != 0) ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        *error = SockLastErrorText();
        closesocket(sock);
        return kNoSock;
    }
    *boundPort = ntohs(a.sin_port);
    return Handle(sock);
}

SockHandle SockAccept(SockHandle listener) {
    const SOCKET sock = accept(Raw(listener), nullptr, nullptr);
    if (sock == INVALID_SOCKET)
        return kNoSock;
    SetNonBlocking(sock);
    SetNoDelay(sock);
    return Handle(sock);
}

void SockClose(SockHandle sock) {
    if (sock == kNoSock)
        return;
    closesocket(Raw(sock));
}

void SockShutdown(SockHandle sock) {
    if (sock != kNoSock)
        shutdown(Raw(sock), SD_BOTH);
}

void SockShutdownSend(SockHandle sock) {
    if (sock != kNoSock)
        shutdown(Raw(sock), SD_SEND);
}

std::string SockPeerText(SockHandle sock) {
    sockaddr_in a{};
    int size = sizeof a;
    char text[INET_ADDRSTRLEN] = "?";
    if (sock == kNoSock || getpeername(Raw(sock), reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text) == nullptr)
        return "?";
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

int SockRecv(SockHandle sock, uint8_t* data, size_t len) {
    const int r = recv(Raw(sock), reinterpret_cast<char*>(data), static_cast<int>(len), 0);
    if (r >= 0)
        return r;
    return WouldBlock(WSAGetLastError()) ? kWouldBlock : -1;
}

int SockSend(SockHandle sock, const uint8_t* data, size_t len) {
    const int r = send(Raw(sock), reinterpret_cast<const char*>(data), static_cast<int>(len), 0);
    if (r >= 0)
        return r;
    return WouldBlock(WSAGetLastError()) ? 0 : -1;
}

bool SockLastErrorWasReset() {
    const int error = WSAGetLastError();
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}

bool SockLastErrorWasOutOfFiles() {
    const int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
}

std::string SockLastErrorText() {
    const int error = WSAGetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string result(text, n);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result.empty() ? "Winsock error " + std::to_string(error) : result;
}

SockWake::SockWake() {
    // WSAPoll waits on sockets only, so the wake-up is a connected pair on 127.0.0.1: a listener on a
    // free port, one connection to it, and the listener closed again.
    if (!Started())
        return;
    int port = 0;
    std::string error;
    const SockHandle listener = SockListen("127.0.0.1", 0, true, 0, &port, &error);
    if (listener == kNoSock)
        return;
    const SockHandle writer = SockConnect("127.0.0.1", port, 0);
    SockHandle reader = kNoSock;
    if (writer != kNoSock) {
        // The connection is complete on the listener's side once connect has reported it.
        std::vector<SockWaitEntry> set(1);
        set[0].Sock = listener;
        set[0].WantRead = true;
        if (SockWait(set, kConnectLimitMs) > 0)
            reader = SockAccept(listener);
    }
    SockClose(listener);
    if (reader == kNoSock) {
        SockClose(writer);
        return;
    }
    End[0] = reader;
    End[1] = writer;
}

SockWake::~SockWake() {
    SockClose(End[0]);
    SockClose(End[1]);
}

void SockWake::Signal() {
    if (End[1] == kNoSock)
        return;
    const char one = 1;
    send(Raw(End[1]), &one, 1, 0); // a full socket is awake already
}

void SockWake::Drain() {
    if (End[0] == kNoSock)
        return;
    char drain[256];
    while (recv(Raw(End[0]), drain, sizeof drain, 0) > 0) {
    }
}

int SockWait(std::vector<SockWaitEntry>& set, int timeoutMs, SockWake* wake, bool* woken) {
    if (woken != nullptr)
        *woken = false;
    std::vector<WSAPOLLFD> fds(set.size());
    for (size_t i = 0; i < set.size(); ++i) {
        fds[i].fd = Raw(set[i].Sock);
        fds[i].events =
            static_cast<SHORT>((set[i].WantRead ? POLLRDNORM : 0) | (set[i].WantWrite ? POLLWRNORM : 0));
        fds[i].revents = 0;
        set[i].Readable = set[i].Writable = false;
    }
    if (wake != nullptr && wake->Ready())
        fds.push_back({Raw(wake->ReadEnd()), POLLRDNORM, 0});
    if (fds.empty()) {
        // As poll () without sockets: the wait is only a pause.
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int r = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs < 0 ? -1 : timeoutMs);
    if (r <= 0)
        return r < 0 ? -1 : 0;
    if (fds.size() > set.size() && fds.back().revents != 0) {
        wake->Drain();
        if (woken != nullptr)
            *woken = true;
    }
    int ready = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        const SHORT ev = fds[i].revents;
        // As with select: an error or a hang-up counts as readable (the read reports it), and as
        // writable when a write was wanted.
        set[i].Readable = set[i].WantRead && (ev & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL));
        set[i].Writable = set[i].WantWrite && (ev & (POLLWRNORM | POLLERR | POLLHUP | POLLNVAL));
        ready += (set[i].Readable || set[i].Writable) ? 1 : 0;
    }
    return ready;
}

// Winsock has no readiness set that reports only the ready sockets to a plain thread, so the poller keeps
// the WSAPoll array itself: its changes cost no system call, and a wait walks the set once.
struct SockPoller::Impl {
    std::vector<WSAPOLLFD> Fds; // the watched sockets; the wake-up's read end goes last during a wait
    std::vector<uint64_t> Keys; // by the index in Fds
    std::unordered_map<SockHandle, size_t> Index;
};

SockPoller::SockPoller() : P(std::make_unique<Impl>()) {}

SockPoller::~SockPoller() = default;

bool SockPoller::Ready() const {
    return Started();
}

size_t SockPoller::Size() const {
    return P->Fds.size();
}

bool SockPoller::Add(SockHandle sock, uint64_t key, bool wantWrite, bool wantRead) {
    if (!Started() || sock == kNoSock)
        return false;
    const SHORT events = static_cast<SHORT>((wantRead ? POLLRDNORM : 0) | (wantWrite ? POLLWRNORM : 0));
    const auto it = P->Index.find(sock);
    if (it != P->Index.end()) {
        P->Fds[it->second].events = events;
        P->Keys[it->second] = key;
        return true;
    }
    WSAPOLLFD fd{};
    fd.fd = Raw(sock);
    fd.events = events;
    P->Fds.push_back(fd);
    P->Keys.push_back(key);
    P->Index[sock] = P->Fds.size() - 1;
    return true;
}

void SockPoller::Remove(SockHandle sock, uint64_t key) {
    const auto it = P->Index.find(sock);
    if (it == P->Index.end() || P->Keys[it->second] != key)
        return;
    // The last entry takes the removed one's place.
    const size_t at = it->second;
    P->Index.erase(it);
    if (at + 1 != P->Fds.size()) {
        P->Fds[at] = P->Fds.back();
        P->Keys[at] = P->Keys.back();
        P->Index[Handle(P->Fds[at].fd)] = at;
    }
    P->Fds.pop_back();
    P->Keys.pop_back();
}

void SockPoller::Forget(SockHandle sock, uint64_t key) {
    Remove(sock, key); // the set is this poller's own: nothing reaches the system
}

int SockPoller::Wait(std::vector<Event>& ready, int timeoutMs, SockWake* wake, bool* woken) {
    ready.clear();
    if (woken != nullptr)
        *woken = false;
    const size_t watched = P->Fds.size();
    if (wake != nullptr && wake->Ready())
        P->Fds.push_back({Raw(wake->ReadEnd()), POLLRDNORM, 0});
    if (P->Fds.empty()) {
        // As poll () without sockets: the wait is only a pause.
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    for (WSAPOLLFD& fd : P->Fds)
        fd.revents = 0;
    const int r = WSAPoll(P->Fds.data(), static_cast<ULONG>(P->Fds.size()), timeoutMs < 0 ? -1 : timeoutMs);
    const bool wakeReady = P->Fds.size() > watched && P->Fds.back().revents != 0;
    P->Fds.resize(watched);
    if (r <= 0)
        return r < 0 ? -1 : 0;
    if (wakeReady) {
        wake->Drain();
        if (woken != nullptr)
            *woken = true;
    }
    for (size_t i = 0; i < watched; ++i) {
        const SHORT ev = P->Fds[i].revents;
        if (ev == 0)
            continue;
        // As with select: an error or a hang-up counts as readable (the read reports it), and as
        // writable when a write was wanted.
        Event e;
        e.Key = P->Keys[i];
        e.Readable =
            (P->Fds[i].events & POLLRDNORM) != 0 && (ev & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
        e.Writable =
            (P->Fds[i].events & POLLWRNORM) != 0 && (ev & (POLLWRNORM | POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (e.Readable || e.Writable)
            ready.push_back(e);
    }
    return static_cast<int>(ready.size());
}

std::vector<SockNetwork> SockLocalNetworks() {
    std::vector<SockNetwork> networks;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result = GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return networks;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp)
            continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            if (u->Address.lpSockaddr == nullptr || u->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
            networks.push_back({ntohl(in->sin_addr.s_addr), static_cast<int>(u->OnLinkPrefixLength)});
        }
    }
    return networks;
}
