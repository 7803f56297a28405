// The socket calls of the device link, on POSIX sockets and poll ().
#include "link/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace

uint32_t SockDottedIp(const std::string& text) {
    return inet_addr(text.c_str());
}

int SockConnect(const std::string& address, int port, int sendBufferSize) {
    if (!LooksLikeHost(address) || port < 1 || port > 65535)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return -1;
    sockaddr_in to{};
    to = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    to.sin_port = htons(static_cast<uint16_t>(port));

    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return -1;
    const int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (sendBufferSize > 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBufferSize, sizeof sendBufferSize);
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
        return sock;
    if (errno != EINPROGRESS) {
        close(sock);
        return -1;
    }
    // Wait up to the connect time limit for the outcome: a refusal within it fails, a
    // connection still in progress after it counts as success.
    pollfd p{sock, POLLOUT, 0};
    int ready;
    do
        ready = poll(&p, 1, kConnectLimitMs);
    while (ready < 0 && errno == EINTR);
    if (ready > 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(sock);
            return -1;
        }
    }
    return sock;
}

void SockClose(int sock) {
    if (sock < 0)
        return;
    close(sock);
}

int SockRecv(int sock, uint8_t* data, size_t len) {
    const ssize_t r = recv(sock, data, len, MSG_DONTWAIT);
    if (r >= 0)
        return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kWouldBlock;
    return -1;
}

int SockSend(int sock, const uint8_t* data, size_t len) {
    const ssize_t r = send(sock, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r >= 0)
        return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return -1;
}

SockWake::SockWake() {
    if (pipe2(Pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        Pipe[0] = Pipe[1] = -1; // no early wake-up: waits run to their time limit
}

SockWake::~SockWake() {
    if (Pipe[0] >= 0) {
        close(Pipe[0]);
        close(Pipe[1]);
    }
}

void SockWake::Signal() {
    if (Pipe[1] < 0)
        return;
    const uint8_t one = 1;
    [[maybe_unused]] const ssize_t r = write(Pipe[1], &one, 1); // a full pipe is awake already
}

int SockWait(std::vector<SockWaitEntry>& set, int timeoutMs, SockWake* wake) {
    std::vector<pollfd> fds(set.size());
    for (size_t i = 0; i < set.size(); ++i) {
        fds[i].fd = set[i].Sock;
        fds[i].events = static_cast<short>((set[i].WantRead ? POLLIN : 0) | (set[i].WantWrite ? POLLOUT : 0));
        set[i].Readable = set[i].Writable = false;
    }
    if (wake != nullptr && wake->ReadEnd() >= 0)
        fds.push_back({wake->ReadEnd(), POLLIN, 0});
    const int r = poll(fds.data(), fds.size(), timeoutMs);
    if (r <= 0)
        return r < 0 ? -1 : 0;
    if (fds.size() > set.size() && fds.back().revents != 0) {
        uint8_t drain[256];
        while (read(fds.back().fd, drain, sizeof drain) > 0) {
        }
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
