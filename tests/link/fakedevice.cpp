// FakeDevice: a scripted DSP device on loopback for the link tests.
#include "tests/link/fakedevice.h"
#include "tests/support/waituntil.h"

#include "link/device.h"
#include "link/sockets.h"

namespace {

uint16_t Sum16(const uint8_t* p, size_t n) {
    uint16_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<uint16_t>(s + p[i]);
    return s;
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

} // namespace

std::vector<uint8_t> TestMessage(uint8_t kind, uint16_t obj, uint16_t par, const std::vector<uint8_t>& data,
                                 uint32_t lengthField) {
    const uint32_t len = lengthField == 0xFFFFFFFF ? static_cast<uint32_t>(data.size()) : lengthField;
    std::vector<uint8_t> m = {kind,
                              static_cast<uint8_t>(len),
                              static_cast<uint8_t>(len >> 8),
                              static_cast<uint8_t>(len >> 16),
                              0,
                              0,
                              0,
                              0,
                              static_cast<uint8_t>(obj),
                              static_cast<uint8_t>(obj >> 8),
                              static_cast<uint8_t>(par),
                              static_cast<uint8_t>(par >> 8)};
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

std::vector<uint8_t> TestFrame(const std::vector<uint8_t>& payload) {
    const size_t len = payload.size() + 12;
    std::vector<uint8_t> f = {0xDA, 0xFE, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0, 0};
    const uint16_t h = static_cast<uint16_t>(-Sum16(f.data() + 2, 4));
    f.push_back(static_cast<uint8_t>(h));
    f.push_back(static_cast<uint8_t>(h >> 8));
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t p = static_cast<uint16_t>(-Sum16(payload.data(), payload.size()));
    f.push_back(static_cast<uint8_t>(p));
    f.push_back(static_cast<uint8_t>(p >> 8));
    f.push_back(0xFE);
    f.push_back(0xDA);
    return f;
}

FakeDevice::FakeDevice() {
    Thread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

FakeDevice::~FakeDevice() {
    Thread.request_stop();
    Thread.join();
    for (const Conn& c : Conns)
        SockClose(c.Sock);
    for (SockHandle l : Listeners)
        SockClose(l);
}

int FakeDevice::Listen(const std::string& address, int port, int receiveBuffer) {
    int bound = 0;
    std::string error;
    const SockHandle s = SockListen(address, port, true, receiveBuffer, &bound, &error);
    if (s == kNoSock)
        return 0;
    std::lock_guard<std::mutex> hold(Mutex);
    Listeners.push_back(s);
    AcceptCount.push_back(0);
    return bound;
}

void FakeDevice::SetReply(FakeReply reply) {
    std::lock_guard<std::mutex> hold(Mutex);
    Reply = reply;
}

void FakeDevice::SetLateMs(int ms) {
    std::lock_guard<std::mutex> hold(Mutex);
    LateMs = ms;
}

void FakeDevice::SetReading(bool on) {
    std::lock_guard<std::mutex> hold(Mutex);
    Reading = on;
}

void FakeDevice::SetClock(std::function<uint64_t()> clock) {
    std::lock_guard<std::mutex> hold(Mutex);
    Clock = std::move(clock);
}

void FakeDevice::CloseAll() {
    std::unique_lock<std::mutex> hold(Mutex);
    const int ticket = ++CloseRequests;
    Done.wait(hold, [&] { return ClosesDone >= ticket; });
}

int FakeDevice::Accepted(int listener) const {
    std::lock_guard<std::mutex> hold(Mutex);
    return listener < static_cast<int>(AcceptCount.size()) ? AcceptCount[listener] : 0;
}

int FakeDevice::Connections() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return static_cast<int>(Conns.size());
}

std::vector<FakeMsg> FakeDevice::Messages() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return Received;
}

std::vector<std::vector<uint8_t>> FakeDevice::Frames() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return RawFrames;
}

int FakeDevice::BadFrames() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return Bad;
}

size_t FakeDevice::LateWaiting() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return LateOut.size();
}

size_t FakeDevice::BytesReceived() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return Bytes;
}

int FakeDevice::EndsOfStream() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return Ends;
}

int FakeDevice::Resets() const {
    std::lock_guard<std::mutex> hold(Mutex);
    return ResetCount;
}

bool FakeDevice::WaitPass() {
    uint64_t from;
    {
        std::lock_guard<std::mutex> hold(Mutex);
        from = PassCount;
    }
    // The pass running now may have read before the call; the one after it has not.
    return WaitFor([&] {
        std::lock_guard<std::mutex> hold(Mutex);
        return PassCount >= from + 2;
    });
}

bool FakeDevice::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    return WaitUntil(pred, limit);
}

void FakeDevice::Answer(Conn& c, uint8_t kind, uint16_t obj, uint16_t par) {
    // Answer with the requested type: I8 one byte, otherwise a 32-bit value.
    const int type = (kind >> 3) & 7;
    const int32_t v = ValueFor(c.Listener, obj, par);
    std::vector<uint8_t> data;
    if (type == 1)
        data = {static_cast<uint8_t>(v)};
    else
        data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                static_cast<uint8_t>(v >> 24)};
    const uint8_t replyKind = static_cast<uint8_t>(2 | (type == 0 ? 3 : type) << 3);
    std::vector<uint8_t> frame = TestFrame(TestMessage(replyKind, obj, par, data));
    std::vector<uint8_t> out;
    switch (Reply) {
    case FakeReply::Silent:
        return;
    case FakeReply::Late:
        LateOut.push_back(
            {std::chrono::steady_clock::now() + std::chrono::milliseconds(LateMs), c.Sock, frame});
        return;
    case FakeReply::Truncated:
        out.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(frame.size() / 2));
        break;
    case FakeReply::Garbage:
        out = {0x00, 0xDA, 0x13, 0xFE, 0xFE, 0x77, 0xDA, 0xDA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
        break;
    case FakeReply::WrongEnd: {
        out = frame;
        out[out.size() - 1] = 0x00;
        break;
    }
    default:
        break;
    }
    out.insert(out.end(), frame.begin(), frame.end());
    if (Reply == FakeReply::OneByteAtATime)
        c.TrickleLeft += out.size();
    c.Out.insert(c.Out.end(), out.begin(), out.end());
}

void FakeDevice::Parse(Conn& c) {
    size_t pos = 0;
    for (;;) {
        const size_t n = c.In.size() - pos;
        if (n < 12)
            break;
        const uint8_t* p = c.In.data() + pos;
        const size_t len = U16(p + 2);
        if (p[0] != 0xDA || p[1] != 0xFE || len < 12) {
            ++Bad;
            pos = c.In.size(); // the link never sends garbage: give up on this buffer
            break;
        }
        if (n < len)
            break;
        // Covered bytes plus the 16-bit checksum add up to 0.
        const bool sumsOk = static_cast<uint16_t>(Sum16(p + 2, 4) + U16(p + 6)) == 0 &&
                            static_cast<uint16_t>(Sum16(p + 8, len - 12) + U16(p + len - 4)) == 0;
        if (!sumsOk || p[len - 2] != 0xFE || p[len - 1] != 0xDA) {
            ++Bad;
            pos += len;
            continue;
        }
        RawFrames.emplace_back(p, p + len);
        size_t m = 8;
        while (m + 12 <= len - 4) {
            const uint8_t* h = p + m;
            const uint32_t t = h[1] | h[2] << 8 | static_cast<uint32_t>(h[3]) << 16;
            if (m + 12 + t > len - 4) {
                ++Bad;
                break;
            }
            FakeMsg msg;
            msg.KindByte = h[0];
            msg.Obj = U16(h + 8);
            msg.Par = U16(h + 10);
            msg.Data.assign(h + 12, h + 12 + t);
            msg.Listener = c.Listener;
            msg.Stamp = Clock ? Clock() : 0;
            Received.push_back(msg);
            if ((h[0] & 7) == 0)
                Answer(c, h[0], msg.Obj, msg.Par);
            m += 12 + t;
        }
        pos += len;
    }
    c.In.erase(c.In.begin(), c.In.begin() + static_cast<std::ptrdiff_t>(pos));
}

void FakeDevice::Run(std::stop_token stop) {
    std::vector<SockWaitEntry> fds;
    while (!stop.stop_requested()) {
        fds.clear();
        {
            std::lock_guard<std::mutex> hold(Mutex);
            if (CloseRequests > ClosesDone) {
                for (const Conn& c : Conns)
                    SockClose(c.Sock);
                Conns.clear();
                LateOut.clear();
                ClosesDone = CloseRequests;
                Done.notify_all();
            }
            for (SockHandle l : Listeners)
                fds.push_back({l, true, false, false, false});
            for (const Conn& c : Conns)
                fds.push_back({c.Sock, Reading, !c.Out.empty(), false, false});
        }
        SockWait(fds, 1);
        std::lock_guard<std::mutex> hold(Mutex);
        const auto now = std::chrono::steady_clock::now();
        for (size_t i = 0; i < LateOut.size();) {
            if (LateOut[i].Due <= now) {
                for (Conn& c : Conns)
                    if (c.Sock == LateOut[i].Sock)
                        c.Out.insert(c.Out.end(), LateOut[i].Bytes.begin(), LateOut[i].Bytes.end());
                LateOut.erase(LateOut.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < Listeners.size() && i < fds.size(); ++i) {
            if (!fds[i].Readable)
                continue;
            for (;;) {
                const SockHandle s = SockAccept(Listeners[i]);
                if (s == kNoSock)
                    break;
                Conn c;
                c.Sock = s;
                c.Listener = static_cast<int>(i);
                Conns.push_back(std::move(c));
                ++AcceptCount[i];
            }
        }
        for (size_t i = 0; i < Conns.size();) {
            Conn& c = Conns[i];
            bool gone = false;
            if (Reading) {
                uint8_t buf[16384];
                for (;;) {
                    const int r = SockRecv(c.Sock, buf, sizeof buf);
                    if (r > 0) {
                        Bytes += static_cast<size_t>(r);
                        c.In.insert(c.In.end(), buf, buf + r);
                        continue;
                    }
                    if (r != kWouldBlock) {
                        gone = true;
                        ++(r == 0 ? Ends : ResetCount);
                    }
                    break;
                }
                Parse(c);
            }
            const bool trickleDue = now - c.LastTrickle >= std::chrono::milliseconds(1);
            while (!gone && !c.Out.empty() && (c.TrickleLeft == 0 || trickleDue)) {
                // Trickled bytes go one per pass, the rest as much as the socket takes.
                uint8_t chunk[4096];
                const size_t want = c.TrickleLeft > 0 ? 1 : std::min(c.Out.size(), sizeof chunk);
                std::copy(c.Out.begin(), c.Out.begin() + static_cast<std::ptrdiff_t>(want), chunk);
                const int w = SockSend(c.Sock, chunk, want);
                if (w <= 0)
                    break;
                c.Out.erase(c.Out.begin(), c.Out.begin() + w);
                if (c.TrickleLeft > 0) {
                    c.TrickleLeft -= static_cast<size_t>(w);
                    c.LastTrickle = now;
                    break;
                }
            }
            if (gone) {
                SockClose(c.Sock);
                Conns.erase(Conns.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        ++PassCount;
    }
}

RefusingPort::RefusingPort() {
    std::string error;
    Sock = SockListen("127.0.0.1", 0, false, 0, &PortNo, &error);
}

RefusingPort::~RefusingPort() {
    SockClose(Sock);
}
