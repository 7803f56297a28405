// The device simulator's transport: listening sockets, one connection at a time per device, and the
// transport fault triggers (silence, byte-by-byte, garbage, delay, a time per page, a small receive window,
// refusal, hang-up). Any number of devices are served by one thread over one poller (ServeDevices), whose
// output a thread of its own writes (SimOutput).
#pragma once

#include "link/sockets.h"
#include "tools/fwdevsim/simoptions.h"
#include "tools/fwdevsim/simoutput.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

    // Serves this device alone until Stop, or with Once until the end of the first session; one JSON
    // line per session goes to out. Returns the process exit code.
    int Run(std::FILE* out);

    // Async-signal-safe (and callable from any thread): asks Run to end (an open session is reported first).
    void Stop();

private:
    friend class SimLoop;
    using Clock = std::chrono::steady_clock;
    struct Session;

    SockHandle Listen(uint16_t port, uint16_t& bound, std::string& error);
    // Watches the listeners under key and key + 1 (not while refusing) or stops watching them; false
    // when they cannot be watched.
    bool WatchListeners(SockPoller& poller, uint64_t key, bool watch);
    // Takes the waiting connection of the own port or of the reconnect port, if there still is one, and
    // starts its session, watched under key. OutOfFiles: the connection stays waiting (too many open files).
    enum class Accepted { Session, NoneWaiting, OutOfFiles };
    Accepted Accept(bool own, SockPoller& poller, uint64_t key, SimOutput& out);
    // The session's socket was reported ready (readable: it may be read), or its time has come (a reply
    // held back, a page written, a closing one's next try): reads, answers and sends what is due; the
    // session ends when its connection does.
    void Step(bool readable, uint8_t* buffer, std::size_t capacity, SimOutput& out);
    // Queues the device's replies and notes what they tell; true when the device wants to close.
    bool Answer(std::vector<std::vector<uint8_t>> frames);
    // After a Step: watches the session's socket for reading while the device takes bytes and for writing
    // while a reply is due, and gives the time the session next needs a Step without its socket.
    std::optional<Clock::time_point> Settle(SimOutput& out);
    // Ends the session: closes its connection and writes its JSON line.
    void EndSession(const std::string& end, SimOutput& out);
    bool InSession() const { return session_ != nullptr; }

    SimOptions options_;
    SimDevice device_;
    SockHandle listenFd_ = kNoSock;
    SockHandle reconnectFd_ = kNoSock;
    uint16_t port_ = 0;
    std::optional<uint16_t> reconnectPort_;
    SockWake stop_;
    std::unique_ptr<Session> session_; // the connection being served, if any
    int64_t sessions_ = 0;
};

// Serves the devices on this thread until stop is signalled, or with Once until each has ended its first
// session. Waiting connections are taken device by device, one session at a time per device; a session's
// line goes to out when it ends. ready, if given, is called once every listener is watched (nothing the
// serving needs is made after it). Returns the process exit code.
int ServeDevices(const std::vector<SimServer*>& servers, std::FILE* out, SockWake& stop,
                 const std::function<void()>& ready = {});
