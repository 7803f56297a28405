// The device simulator's transport: listening sockets, one connection at a time, a poller, and the
// transport fault triggers (silence, byte-by-byte, garbage, delay, refusal, hang-up).
#pragma once

#include "link/sockets.h"
#include "tools/fwdevsim/simoptions.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

class SimServer {
public:
    explicit SimServer(SimOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds (and, unless refusing, listens on) the port and the reconnect port. Returns the text of
    // the error when an address cannot be bound.
    std::optional<std::string> Bind();
    uint16_t Port() const { return port_; }
    const std::string& Address() const { return options_.Address; }
    // Before Bind: listen on this port instead (the devices of one process share the port of the first).
    void UsePort(uint16_t port) { options_.Port = port; }
    std::optional<uint16_t> ReconnectPort() const { return reconnectPort_; }

    // Serves until Stop, or with Once until the end of the first session; one JSON line per session
    // goes to out. Returns the process exit code.
    int Run(std::FILE* out);

    // Async-signal-safe (and callable from any thread): asks Run to end (an open session is reported first).
    void Stop();

private:
    struct Session;
    SockHandle Listen(uint16_t port, uint16_t& bound, std::string& error);
    // Watches the listeners (not while refusing) or stops watching them; false when they cannot be watched.
    bool WatchListeners(bool watch);
    void Serve(SockHandle fd, uint16_t localPort, std::FILE* out);

    SimOptions options_;
    SimDevice device_;
    SockHandle listenFd_ = kNoSock;
    SockHandle reconnectFd_ = kNoSock;
    uint16_t port_ = 0;
    std::optional<uint16_t> reconnectPort_;
    SockWake stop_;
    // The listeners between sessions, the session's socket during one (one connection at a time: a
    // connection that comes meanwhile waits in the listener's queue).
    SockPoller poller_;
    int64_t sessions_ = 0;
    bool stopping_ = false;
};
