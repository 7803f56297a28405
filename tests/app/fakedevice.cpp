// FakeDevice: accepts on a loopback address, decodes frames with the link's codec and answers reads.
#include "tests/app/fakedevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "link/frame.h"

namespace {
constexpr uint8_t kKindValueI32 = 0x1A; // command 2 (value), type I32
}

FakeDevice::FakeDevice(const std::string& address) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on " + address);
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);

    SetValues(0, 1, {0}); // keep-alive
    SetValues(1, 2, {1});
    SetValues(1, 3, {123});
    SetValues(1, 5, {19});
    SetValues(1, 6, {31});
    SetValues(1, 12, {0x00010004});
    SetText(9, 2, "DSP-Q7");
    SetText(9, 7, "Farquin Audio");
    SetText(9, 8, "Q7 Stage");
    SetText(9, 9, "LIB-2.31");
    thread = std::thread([this] { Serve(); });
}

FakeDevice::~FakeDevice() {
    stop = true;
    thread.join();
    ::close(listener);
}

void FakeDevice::SetValues(int obj, int par, std::vector<int32_t> v) {
    std::lock_guard hold(lock);
    values[{obj, par}] = std::move(v);
}

void FakeDevice::SetText(int obj, int par, const std::string& text) {
    std::vector<int32_t> v(4, 0);
    for (size_t i = 0; i < text.size() && i < 16; ++i)
        v[i / 4] |=
            static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * (i % 4)));
    SetValues(obj, par, std::move(v));
}

std::vector<std::pair<int, int>> FakeDevice::Requests() const {
    std::lock_guard hold(lock);
    return requests;
}

void FakeDevice::Serve() {
    int client = -1;
    RxBuffer rx;
    RxScanState state = RxScanState::Searching;
    while (!stop) {
        pollfd fd{client >= 0 ? client : listener, POLLIN, 0};
        if (::poll(&fd, 1, 10) <= 0)
            continue;
        if (client < 0) {
            client = ::accept(listener, nullptr, nullptr);
            if (client >= 0) {
                ++connections;
                clientOpen = true;
                rx.Clear();
                state = RxScanState::Searching;
            }
            continue;
        }
        uint8_t buf[4096];
        const ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(client);
            client = -1;
            clientOpen = false;
            continue;
        }
        rx.Append(buf, static_cast<size_t>(n));
        TxMessages replies;
        ScanFrames(rx, state, 1, [&](const Msg& m) {
            if (m.Kind != KIND_READ || m.Type != TYPE_I32)
                return;
            std::vector<int32_t> v;
            {
                std::lock_guard hold(lock);
                requests.emplace_back(m.Obj, m.Par);
                auto it = values.find({m.Obj, m.Par});
                if (it == values.end())
                    return;
                v = it->second;
            }
            if (silent)
                return;
            std::vector<uint8_t> data;
            for (int32_t value : v)
                for (int b = 0; b < 4; ++b)
                    data.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b)));
            std::vector<uint8_t> msg;
            EncodeMsg(msg, kKindValueI32, m.Obj, m.Par, data.data(), data.size());
            replies.push_back(std::move(msg));
        });
        std::vector<uint8_t> frame;
        size_t removed = 0;
        while (BuildFrame(replies, frame, removed) > 0)
            ::send(client, frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    if (client >= 0)
        ::close(client);
}
