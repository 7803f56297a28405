// Helpers of the update tests: the listening test device, the recording view and the fake clock.
#include "tests/update/testdevice.h"


#include <stdexcept>

#include "link/device.h"
#include "link/frame.h"
#include "link/sockets.h"

int32_t Received::I32(size_t i) const {
    if (Data.size() < 4 * (i + 1))
        return 0;
    const uint8_t* p = Data.data() + 4 * i;
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
}

std::vector<uint8_t> ErrorReply(uint16_t obj, uint16_t par) {
    std::vector<uint8_t> out;
    const uint8_t code[4] = {1, 0, 0, 0};
    EncodeMsg(out, static_cast<uint8_t>(4 | TYPE_I32 << 3), obj, par, code, 4);
    return out;
}

std::vector<uint8_t> WokReply(uint16_t obj, uint16_t par) {
    std::vector<uint8_t> out;
    EncodeMsg(out, static_cast<uint8_t>(3 | TYPE_I32 << 3), obj, par, nullptr, 0);
    return out;
}

std::vector<uint8_t> ValueReplyI32(uint16_t obj, uint16_t par, const std::vector<int32_t>& values) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> data;
    for (int32_t v : values)
        for (int b = 0; b < 4; ++b)
            data.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b)));
    EncodeMsg(out, static_cast<uint8_t>(2 | TYPE_I32 << 3), obj, par, data.data(), data.size());
    return out;
}

TestDevice::TestDevice(const std::string& address, int receiveBuffer) {
    std::string error;
    if (receiveBuffer > 0)
        readChunk = 512;
    listenFd = SockListen(address, 0, true, receiveBuffer, &port, &error);
    if (listenFd == kNoSock)
        throw std::runtime_error("bind/listen " + address + ": " + error);
    thread = std::thread([this] { Serve(); });
}

TestDevice::~TestDevice() {
    stop = true;
    thread.join();
    SockClose(listenFd);
}

void TestDevice::Serve() {
    while (!stop) {
        std::vector<SockWaitEntry> p{{listenFd, true, false, false, false}};
        if (SockWait(p, 5) <= 0)
            continue;
        const SockHandle fd = SockAccept(listenFd);
        if (fd == kNoSock)
            continue;
        {
            std::lock_guard guard(lock);
            ++connections;
        }
        connected = true;
        changed.notify_all();
        RxBuffer buf;
        RxScanState state = RxScanState::Searching;
        bool open = true;
        while (open && !stop) {
            std::vector<SockWaitEntry> q{{fd, true, false, false, false}};
            if (SockWait(q, 5) <= 0)
                continue;
            uint8_t bytes[65536];
            const int n = SockRecv(fd, bytes, readChunk);
            if (n == kWouldBlock)
                continue;
            if (n <= 0)
                break;
            buf.Append(bytes, static_cast<size_t>(n));
            TxMessages replies;
            bool closeNow = false;
            ScanFrames(buf, state, 1, [&](const Msg& m) {
                Received r;
                r.Kind = m.Kind;
                r.Type = m.Type;
                r.Obj = m.Obj;
                r.Par = m.Par;
                r.Count = m.Count;
                if (m.Count > 1)
                    r.Data.assign(m.Buf.pU8, m.Buf.pU8 + m.Len);
                else if (m.Count == 1)
                    r.Data.assign(m.Buf.U8, m.Buf.U8 + ElementSize(m.Type));
                if (r.Obj == 0 && r.Par == 1 && r.Kind == KIND_READ && !WithKeepAlives)
                    return; // keep-alive
                DeviceAction action;
                if (OnMessage)
                    action = OnMessage(r);
                if (r.Kind == KIND_WRITE && r.Type == TYPE_I8 && PageTime.count() > 0)
                    std::this_thread::sleep_for(PageTime); // busy with the page: reads nothing meanwhile
                if (AcknowledgeWrites && r.Kind == KIND_WRITE && action.Replies.empty() && !action.Close)
                    action.Replies.push_back(WokReply(r.Obj, r.Par));
                {
                    std::lock_guard guard(lock);
                    messages.push_back(std::move(r));
                }
                for (auto& reply : action.Replies)
                    replies.push_back(std::move(reply));
                closeNow = closeNow || action.Close;
            });
            changed.notify_all();
            while (!replies.empty()) {
                std::vector<uint8_t> frame;
                size_t removed = 0;
                if (BuildFrame(replies, frame, removed) <= 0)
                    break;
                // The socket is non-blocking: what it cannot take at once follows when it can.
                for (size_t sent = 0; sent < frame.size() && !stop;) {
                    const int w = SockSend(fd, frame.data() + sent, frame.size() - sent);
                    if (w < 0)
                        break;
                    sent += static_cast<size_t>(w);
                    std::vector<SockWaitEntry> out{{fd, false, sent < frame.size(), false, false}};
                    if (sent < frame.size())
                        SockWait(out, 5);
                }
            }
            if (closeNow)
                open = false;
        }
        SockClose(fd);
        connected = false;
    }
}

std::vector<Received> TestDevice::Messages() {
    std::lock_guard guard(lock);
    return messages;
}

size_t TestDevice::Connections() {
    std::lock_guard guard(lock);
    return connections;
}

bool TestDevice::WaitFor(const std::function<bool(const std::vector<Received>&)>& pred,
                         std::chrono::milliseconds limit) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, limit, [&] { return pred(messages); });
}

void RecordingView::Add(Shown s) {
    std::lock_guard guard(lock);
    shown.push_back(std::move(s));
}

std::vector<RecordingView::Shown> RecordingView::All() {
    std::lock_guard guard(lock);
    return shown;
}

std::vector<std::string> RecordingView::Messages() {
    std::vector<std::string> texts;
    for (const Shown& s : All())
        if (s.What == "InfoBox" || s.What == "ShowTimed")
            texts.push_back(s.Text);
    return texts;
}

UpdateClock::TimePoint FakeClock::Now() {
    std::lock_guard guard(lock);
    return now;
}

void FakeClock::SleepUntil(TimePoint t) {
    size_t index = 0;
    int64_t ms = 0;
    {
        std::lock_guard guard(lock);
        ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
        if (t > now)
            now = t;
        index = pauses.size();
        pauses.push_back(ms);
    }
    if (OnSleep)
        OnSleep(index, ms);
}

std::vector<int64_t> FakeClock::Pauses() {
    std::lock_guard guard(lock);
    return pauses;
}
