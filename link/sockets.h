// The socket calls of the device link (POSIX). The one place a port to another
// platform's socket layer touches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The text as a dotted IPv4 address in network byte order; 0xFFFFFFFF when it is none.
uint32_t SockDottedIp(const std::string& text);

// Resolves address (IPv4), creates a non-blocking TCP socket with the no-delay option
// and connects to port, waiting up to 1000 ms for the outcome: a refusal fails, a
// connection still in progress after that counts as success.
// Returns the socket, or -1 (unresolvable, no socket, refused at once).
int SockConnect(const std::string& address, int port, int sendBufferSize);

// Closes at once without waiting; the system still delivers what was written and then
// ends the connection normally.
void SockClose(int sock);

// Bytes read; 0 at end of stream; kWouldBlock when nothing is there; -1 on error.
int SockRecv(int sock, uint8_t* data, size_t len);

// Bytes written, 0 when the socket can take nothing now; -1 on error.
int SockSend(int sock, const uint8_t* data, size_t len);

struct SockWaitEntry {
    int Sock = -1;
    bool WantRead = false;
    bool WantWrite = false;
    bool Readable = false; // data, end of stream or an error waits
    bool Writable = false;
};

// Lets another thread end a SockWait early (a self-pipe).
class SockWake {
public:
    SockWake();
    ~SockWake();
    SockWake(const SockWake&) = delete;
    SockWake& operator=(const SockWake&) = delete;
    void Signal();
    int ReadEnd() const { return Pipe[0]; }

private:
    int Pipe[2] = {-1, -1};
};

// Waits up to timeoutMs for any of the sockets, or until wake is signalled; -1 on
// failure (nothing marked), else the number of ready sockets. No limit on their number.
int SockWait(std::vector<SockWaitEntry>& set, int timeoutMs, SockWake* wake = nullptr);
