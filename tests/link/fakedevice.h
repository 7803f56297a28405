// FakeDevice: a scripted DSP device on loopback for the link tests. It listens on one or
// more loopback addresses, decodes every frame it receives (checking markers and both
// checksums) and answers read requests, with fault triggers for the link's edge cases.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/sockets.h"

// One message as the device received it.
struct FakeMsg {
    uint8_t KindByte = 0;
    uint16_t Obj = 0;
    uint16_t Par = 0;
    std::vector<uint8_t> Data;
    int Listener = 0;   // index of the listening socket the connection came through
    uint64_t Stamp = 0; // the clock (see SetClock) when the message arrived
};

// How the device answers a read request.
enum class FakeReply {
    Value,          // one frame with the value, at once
    Silent,         // no answer at all
    Late,           // the answer after SetLateMs
    OneByteAtATime, // the answer's bytes one by one
    Truncated,      // half a frame first, then the whole answer
    Garbage,        // junk bytes before the answer
    WrongEnd,       // a frame with a wrong end marker first, then the answer
};

class FakeDevice {
public:
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Adds a listening socket on a loopback address; port 0 picks a free port.
    // receiveBuffer > 0 shrinks the receive window of accepted connections.
    // Returns the port, or 0 when the address cannot be bound.
    int Listen(const std::string& address, int port = 0, int receiveBuffer = 0);

    void SetReply(FakeReply reply);
    void SetLateMs(int ms);
    void SetReading(bool on); // off: reads stop and the receive window fills up
    void CloseAll();          // closes every connection (the peer hangs up); waits for it
    void SetClock(std::function<uint64_t()> clock);

    // The value the device answers for (obj, par) on the given listener.
    static int32_t ValueFor(int listener, uint16_t obj, uint16_t par) {
        return listener * 100000 + obj * 1000 + par;
    }

    int Accepted(int listener) const;
    int Connections() const;
    std::vector<FakeMsg> Messages() const;
    std::vector<std::vector<uint8_t>> Frames() const; // every well-formed frame, raw
    int BadFrames() const;                            // frames with wrong checksum or marker
    size_t LateWaiting() const;                       // late answers not yet handed to the connection
    size_t BytesReceived() const;
    // How the link's connections ended: an ordinary end of stream, or a reset.
    int EndsOfStream() const;
    int Resets() const;
    // Waits until the device has completed a whole pass after this call: what was written
    // to it before the call has then been read and parsed.
    bool WaitPass();

    // Waits until pred () holds (checked under no lock) or the limit passes.
    static bool WaitFor(const std::function<bool()>& pred,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

private:
    struct Conn {
        SockHandle Sock = kNoSock;
        int Listener = 0;
        std::vector<uint8_t> In;
        std::deque<uint8_t> Out;
        size_t TrickleLeft = 0; // bytes of Out still to go one by one, 1 ms apart
        std::chrono::steady_clock::time_point LastTrickle{};
    };
    struct Late {
        std::chrono::steady_clock::time_point Due;
        SockHandle Sock;
        std::vector<uint8_t> Bytes;
    };

    void Run(std::stop_token stop);
    void Parse(Conn& c);
    void Answer(Conn& c, uint8_t kind, uint16_t obj, uint16_t par);

    mutable std::mutex Mutex;
    std::condition_variable Done;
    std::vector<SockHandle> Listeners;
    std::vector<int> AcceptCount;
    std::vector<Conn> Conns;
    std::vector<Late> LateOut;
    std::vector<FakeMsg> Received;
    std::vector<std::vector<uint8_t>> RawFrames;
    int Bad = 0;
    int Ends = 0;
    int ResetCount = 0;
    uint64_t PassCount = 0;
    size_t Bytes = 0;
    FakeReply Reply = FakeReply::Value;
    int LateMs = 50;
    bool Reading = true;
    int CloseRequests = 0;
    int ClosesDone = 0;
    std::function<uint64_t()> Clock;
    std::jthread Thread;
};

// A port on 127.0.0.1 that is bound but not listening: connecting to it is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    int Port() const { return PortNo; }

private:
    SockHandle Sock = kNoSock;
    int PortNo = 0;
};

// Frame helpers of the tests, written apart from the link's codec.
std::vector<uint8_t> TestFrame(const std::vector<uint8_t>& payload);
std::vector<uint8_t> TestMessage(uint8_t kind, uint16_t obj, uint16_t par, const std::vector<uint8_t>& data,
                                 uint32_t lengthField = 0xFFFFFFFF);
