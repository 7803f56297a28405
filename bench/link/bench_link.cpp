// Device link figures: how fast the scanner and decoder cut received bytes into records
// (beside memcpy of the same bytes), and how long a by-handle request takes to reach a
// peer on loopback (median and 99th percentile).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/conbase.h"
#include "link/frame.h"

namespace {

constexpr size_t kRead = 10000; // the link reads at most this much at once

// A stream of frames of frameSize bytes, each holding one message, totalling about total bytes.
std::vector<uint8_t> Stream(size_t frameSize, size_t total) {
    // Written here rather than with BuildFrame, which keeps to 2500 payload bytes.
    const size_t data = frameSize - kFrameOverhead - kMsgHeaderSize;
    std::vector<uint8_t> m;
    EncodeMsg(m, 0x03, 1, 12, nullptr, 0); // WOK without data
    if (data > 0) {
        m[0] = 0x0A; // an I8 value block
        m[1] = static_cast<uint8_t>(data);
        m[2] = static_cast<uint8_t>(data >> 8);
        m[3] = static_cast<uint8_t>(data >> 16);
        m.insert(m.end(), data, 0x42);
    }
    std::vector<uint8_t> frame = {
        0xDA, 0xFE, static_cast<uint8_t>(frameSize), static_cast<uint8_t>(frameSize >> 8), 0, 0, 0, 0};
    const uint16_t h = FrameChecksum(&frame[2], 4);
    frame[6] = static_cast<uint8_t>(h);
    frame[7] = static_cast<uint8_t>(h >> 8);
    frame.insert(frame.end(), m.begin(), m.end());
    const uint16_t p = FrameChecksum(m.data(), m.size());
    frame.insert(frame.end(), {static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8), 0xFE, 0xDA});
    std::vector<uint8_t> out;
    while (out.size() + frame.size() <= total)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

void Scan(benchmark::State& state, size_t frameSize, size_t readSize) {
    const std::vector<uint8_t> stream = Stream(frameSize, static_cast<size_t>(state.range(0)));
    int64_t records = 0;
    uint64_t touched = 0;
    const MsgSink sink = [&](const Msg& m) {
        ++records;
        touched += m.Count > 1 ? m.Buf.pU8[0] : m.Buf.U8[0];
    };
    for (auto _ : state) {
        RxBuffer buf;
        RxScanState scan = RxScanState::Searching;
        for (size_t at = 0; at < stream.size(); at += readSize) {
            buf.Append(stream.data() + at, std::min(readSize, stream.size() - at));
            ScanFrames(buf, scan, 1, sink);
        }
    }
    benchmark::DoNotOptimize(touched);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

void Copy(benchmark::State& state, size_t frameSize, size_t readSize) {
    const std::vector<uint8_t> stream = Stream(frameSize, static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> to(readSize);
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += readSize) {
            std::memcpy(to.data(), stream.data() + at, std::min(readSize, stream.size() - at));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

// (a) 24-byte frames (one message without data) arriving in 10000-byte reads.
void BM_Scan24ByteFrames(benchmark::State& s) {
    Scan(s, 24, kRead);
}
void BM_Memcpy24ByteFrames(benchmark::State& s) {
    Copy(s, 24, kRead);
}
// (b) 65535-byte frames (one I8 block of 65511 bytes each) arriving in 10000-byte reads.
void BM_Scan65535ByteFrames(benchmark::State& s) {
    Scan(s, 65535, kRead);
}
void BM_Memcpy65535ByteFrames(benchmark::State& s) {
    Copy(s, 65535, kRead);
}
// The whole stream in one piece: the cost per byte must not grow with the buffer.
void BM_Scan24ByteFramesOneRead(benchmark::State& s) {
    Scan(s, 24, static_cast<size_t>(s.range(0)));
}

BENCHMARK(BM_Scan24ByteFrames)->Arg(1 << 20);
BENCHMARK(BM_Memcpy24ByteFrames)->Arg(1 << 20);
BENCHMARK(BM_Scan65535ByteFrames)->Arg(8 << 20);
BENCHMARK(BM_Memcpy65535ByteFrames)->Arg(8 << 20);
BENCHMARK(BM_Scan24ByteFramesOneRead)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20);

// The time from ConBase::RequestI32 (by handle) to its whole frame at a loopback peer.
void BM_RequestToPeer(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t n = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
    ConBase link;
    const int h = link.Open("127.0.0.1", ntohs(a.sin_port));
    const int peer = accept(listener, nullptr, nullptr);
    if (h <= 0 || peer < 0) {
        state.SkipWithError("no loopback connection");
        return;
    }
    // A WOK answer to each request keeps the device from being closed for silence.
    std::vector<uint8_t> wok = {0xDA, 0xFE, 24, 0, 0, 0, 0, 0};
    const uint16_t hs = FrameChecksum(&wok[2], 4);
    wok[6] = static_cast<uint8_t>(hs);
    wok[7] = static_cast<uint8_t>(hs >> 8);
    std::vector<uint8_t> m;
    EncodeMsg(m, 0x03, 1, 12, nullptr, 0);
    wok.insert(wok.end(), m.begin(), m.end());
    const uint16_t ps = FrameChecksum(m.data(), m.size());
    wok.insert(wok.end(), {static_cast<uint8_t>(ps), static_cast<uint8_t>(ps >> 8), 0xFE, 0xDA});

    std::vector<double> micros;
    uint8_t buf[64];
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        link.RequestI32(h, 1, 12);
        size_t got = 0;
        while (got < 24) {
            const ssize_t r = recv(peer, buf + got, 24 - got, 0);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        const auto t1 = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        send(peer, wok.data(), wok.size(), 0);
        // Take the answer first, so the next request finds the link thread waiting in poll.
        Msg rec;
        rec.Buf.pU8 = buf;
        while (link.GetMsg(rec, sizeof buf) != 0 || rec.Kind != KIND_WOK) {
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    close(peer);
    close(listener);
}

BENCHMARK(BM_RequestToPeer)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
