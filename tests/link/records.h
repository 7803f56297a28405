// Helpers of the link tests: taking every waiting record from a link manager and
// counting them, and the fast tick used so that silence and keep-alive tests run quickly.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "link/asp.h"
#include "link/conbase.h"
#include "link/frame.h"
#include "tests/link/fakedevice.h"

struct Got {
    int Handle = 0, Kind = 0, Type = 0, Obj = 0, Par = 0, Count = 0, Len = 0;
    int32_t Value = 0; // the in-place value of a single-element record
    std::vector<uint8_t> Data;
};

// The link with a 1 ms tick: 1000 ticks of silence take about a second.
inline LinkOptions FastTicks() {
    LinkOptions o;
    o.TickPeriod = std::chrono::milliseconds(1);
    return o;
}

// Moves every waiting record into out.
inline void Drain(ConBase& link, std::vector<Got>& out) {
    std::vector<uint8_t> buf(70000);
    for (;;) {
        Msg m;
        m.Buf.pU8 = buf.data();
        if (link.GetMsg(m, static_cast<int>(buf.size())) != 0)
            return;
        Got g{m.Handle, m.Kind, m.Type, m.Obj, m.Par, m.Count, m.Len, 0, {}};
        if (m.Count == 1)
            std::memcpy(&g.Value, buf.data(), 4);
        else if (m.Count > 1)
            g.Data.assign(buf.begin(),
                          buf.begin() + static_cast<std::ptrdiff_t>(m.Count * ElementSize(m.Type)));
        out.push_back(std::move(g));
    }
}

inline int CountOf(const std::vector<Got>& got, int handle, int kind) {
    return static_cast<int>(std::count_if(
        got.begin(), got.end(), [&](const Got& g) { return g.Handle == handle && g.Kind == kind; }));
}

// Drains until pred (got) holds or the limit passes.
template <typename Pred>
bool DrainUntil(ConBase& link, std::vector<Got>& got, Pred pred,
                std::chrono::milliseconds limit = std::chrono::milliseconds(15000)) {
    return FakeDevice::WaitFor(
        [&] {
            Drain(link, got);
            return pred(got);
        },
        limit);
}

// A link whose ticks come only from the test (AddTicks).
inline LinkOptions ManualTicks() {
    LinkOptions o;
    o.ManualTicks = true;
    return o;
}

// Adds n ticks at once and waits until the link has applied them all; the link must have a socket
// (without one it drops its ticks).
inline bool Advance(ConBase& link, int n,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
    const uint64_t from = link.TicksProcessed();
    link.AddTicks(n);
    return FakeDevice::WaitFor([&] { return link.TicksProcessed() == from + static_cast<uint64_t>(n); }, limit);
}

// Waits until the link thread has completed a whole pass after this call.
// The link sleeps while nothing is due, so each pass is woken.
inline bool WaitPass(ConBase& link) {
    const uint64_t from = link.PassesDone();
    for (uint64_t n = 1; n <= 2; ++n) {
        link.WakeLink();
        if (!FakeDevice::WaitFor([&] { return link.PassesDone() >= from + n; }))
            return false;
    }
    return true;
}

// Waits until the link has applied at least n more ticks than `from`.
inline bool WaitTicks(ConBase& link, uint64_t from, uint64_t n,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000)) {
    return FakeDevice::WaitFor([&] { return link.TicksProcessed() >= from + n; }, limit);
}
