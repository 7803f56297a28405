// The socket calls of the device link, the device simulator and the link tests: the one place where
// POSIX sockets and Winsock 2 differ (sockets_posix.cpp, sockets_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A socket: a file descriptor on POSIX, a SOCKET (UINT_PTR) on Windows; both fit, and the invalid
// socket of either is -1 here.
using SockHandle = std::intptr_t;
constexpr SockHandle kNoSock = -1;

// The text as a dotted IPv4 address in network byte order; 0xFFFFFFFF when it is none.
uint32_t SockDottedIp(const std::string& text);

// An IPv4 network this computer is on: its address there (the first number of the dotted address highest)
// and the network's prefix length.
struct SockNetwork {
    uint32_t Address = 0;
    int Prefix = 0;
};
// The IPv4 networks of the interfaces that are up, loopback included; empty when they cannot be read.
std::vector<SockNetwork> SockLocalNetworks();

// The IPv4 address (network byte order) of a dotted address or host name; nothing when it has none.
std::optional<uint32_t> SockResolve(const std::string& address);

// How a connection attempt went: why SockConnect gave no socket, or (Pending) that the connection was still
// being set up when its wait ended.
enum class SockConnectProblem {
    None,        // connected
    Pending,     // no answer to the connection request within 1000 ms yet; the socket is returned
    BadAddress,  // no host text, or a port outside 1..65535
    NotResolved, // the text is no host name, or the name has no IPv4 address
    Refused,     // nobody accepts connections on that port
    NoRoute,     // the host or its network cannot be reached
    TimedOut,    // the connection request went unanswered
    Failed,      // another failure (no socket, ...)
};

// Resolves address (IPv4), creates a non-blocking TCP socket with the no-delay option
// and connects to port, waiting up to 1000 ms for the outcome: a refusal fails, a
// connection still in progress after that counts as success.
// Returns the socket, or kNoSock (unresolvable, no socket, refused at once); *problem tells why.
SockHandle SockConnect(const std::string& address, int port, int sendBufferSize,
                       SockConnectProblem* problem = nullptr);

// Binds a non-blocking TCP socket to address (dotted or a host name):port (port 0 picks a free one) and, with
// listen, listens. A bound socket that does not listen refuses every connection. receiveBuffer > 0 sets the
// receive window that accepted connections inherit. Returns the socket and its port in *boundPort, or kNoSock
// with the reason in *error.
SockHandle SockListen(const std::string& address, int port, bool listen, int receiveBuffer, int* boundPort,
                      std::string* error);

// One waiting connection of a listening socket, non-blocking with the no-delay option; kNoSock when
// none waits.
SockHandle SockAccept(SockHandle listener);

// Closes at once without waiting; the system still delivers what was written and then
// ends the connection normally.
void SockClose(SockHandle sock);

// Ends both directions of the connection (the peer reads end of stream) without closing the socket.
void SockShutdown(SockHandle sock);
// Ends the sending direction only: the peer reads end of stream after everything written, and this side
// still reads what the peer sends until it closes.
void SockShutdownSend(SockHandle sock);

// The peer's address and port as "a.b.c.d:port"; "?" when unknown.
std::string SockPeerText(SockHandle sock);

// Bytes read; 0 at end of stream; kWouldBlock when nothing is there; -1 on error.
int SockRecv(SockHandle sock, uint8_t* data, size_t len);

// Bytes written, 0 when the socket can take nothing now; -1 on error.
int SockSend(SockHandle sock, const uint8_t* data, size_t len);

// The last failed call of this thread: whether the peer reset the connection, and the system's text.
bool SockLastErrorWasReset();
// Whether the last failed call of this thread (a SockAccept that gave no socket) failed for want of files or
// memory (too many open files, no buffers): the connection then stays waiting and the listener readable.
bool SockLastErrorWasOutOfFiles();
std::string SockLastErrorText();

struct SockWaitEntry {
    SockHandle Sock = kNoSock;
    bool WantRead = false;
    bool WantWrite = false;
    bool Readable = false; // data, end of stream, an error or (listening) a connection waits
    bool Writable = false;
};

// Lets another thread, or a signal handler, end a SockWait early: a pipe on POSIX, a connected
// loopback socket pair on Windows, whose wait takes sockets only.
class SockWake {
public:
    SockWake();
    ~SockWake();
    SockWake(const SockWake&) = delete;
    SockWake& operator=(const SockWake&) = delete;
    // Async-signal-safe.
    void Signal();
    // False when the wake-up could not be made: waits then run to their time limit.
    bool Ready() const { return End[0] != kNoSock; }
    // Empties what Signal sent; SockWait does this itself.
    void Drain();
    SockHandle ReadEnd() const { return End[0]; }

private:
    SockHandle End[2] = {kNoSock, kNoSock};
};

// Waits up to timeoutMs (negative: no limit) for any of the sockets, or until wake is signalled
// (*woken tells it when given); -1 on failure (nothing marked), else the number of ready sockets. No
// limit on their number.
int SockWait(std::vector<SockWaitEntry>& set, int timeoutMs, SockWake* wake = nullptr, bool* woken = nullptr);

// A lasting set of sockets to wait on, each under a key of the caller's: a wait reports only the ready
// ones, so its cost grows with them, not with the set (epoll on Linux; on Windows WSAPoll over the set).
// Every socket is watched for reading (data, end of stream, an error or, listening, a connection) unless
// asked not to (a reader that takes nothing for now), and for writing while asked. One thread uses a poller
// at a time.
class SockPoller {
public:
    struct Event {
        uint64_t Key = 0;
        bool Readable = false;
        bool Writable = false; // only while writing was asked
    };

    SockPoller();
    ~SockPoller();
    SockPoller(const SockPoller&) = delete;
    SockPoller& operator=(const SockPoller&) = delete;
    // False when the poller could not be made: every Add fails then.
    bool Ready() const;

    // Watches sock under key, or changes what it is watched for: false on failure. A socket number the
    // system has reused since it was closed is watched anew under the new key. Without wantRead (then with
    // wantWrite) the socket is not reported readable, and an error or a hang-up is reported as writable.
    bool Add(SockHandle sock, uint64_t key, bool wantWrite, bool wantRead = true);
    // Stops watching sock, when it is still watched under key (a closed socket whose number another
    // socket now has is left to that one). What a wait has not reported yet is not reported.
    void Remove(SockHandle sock, uint64_t key);
    // The same for a socket that is closed already (the system has dropped it from the wait): no call
    // reaches the system, whose number another socket may have by now.
    void Forget(SockHandle sock, uint64_t key);
    size_t Size() const;

    // Waits up to timeoutMs (negative: no limit) for a watched socket, or until wake is signalled
    // (*woken tells it when given). ready gets the ready sockets; -1 on failure, else their number.
    int Wait(std::vector<Event>& ready, int timeoutMs, SockWake* wake = nullptr, bool* woken = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> P;
};
