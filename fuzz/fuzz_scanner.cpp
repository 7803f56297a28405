// Fuzzes the frame scanner and payload decoder: any received bytes, cut into any pieces,
// must decode to the same records as the whole stream, within the bounds of the data,
// and every record must pass through the manager's queue intact (a manager without link threads).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/conbase.h"
#include "link/frame.h"

namespace {

struct Rec {
    Msg M;
    std::vector<uint8_t> Data;
};

std::vector<Rec> Decode(const uint8_t* data, size_t size, const std::vector<size_t>& cuts) {
    std::vector<Rec> out;
    const MsgSink sink = [&out](const Msg& m) {
        Rec r{m, {}};
        if (m.Count < 0 || m.Len < 0 || m.Type < TYPE_NONE || m.Type > TYPE_F32 || m.Kind < 0 ||
            m.Kind > KIND_ERROR)
            std::abort();
        if (m.Count > 1) {
            const size_t n = static_cast<size_t>(m.Count) * ElementSize(m.Type);
            if (n > static_cast<size_t>(m.Len))
                std::abort();
            r.Data.assign(m.Buf.pU8, m.Buf.pU8 + n); // ASan checks the block lies in the buffer
            r.M.Buf.Raw = 0;
        }
        out.push_back(std::move(r));
    };
    RxBuffer buf;
    RxScanState state = RxScanState::Searching;
    size_t from = 0;
    for (size_t end : cuts) {
        buf.Append(data + from, end - from);
        ScanFrames(buf, state, 1, sink);
        from = end;
    }
    buf.Append(data + from, size - from);
    ScanFrames(buf, state, 1, sink);
    if (buf.Size() > kMaxFrameLength)
        std::abort(); // nothing larger than one frame waits
    return out;
}

bool Same(const std::vector<Rec>& a, const std::vector<Rec>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Msg &x = a[i].M, &y = b[i].M;
        if (x.Kind != y.Kind || x.Type != y.Type || x.Obj != y.Obj || x.Par != y.Par || x.Count != y.Count ||
            x.Len != y.Len || x.Buf.Raw != y.Buf.Raw || a[i].Data != b[i].Data)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the piece size; the rest is the stream.
    const size_t step = 1 + data[0];
    ++data;
    --size;
    std::vector<size_t> cuts;
    for (size_t at = step; at < size; at += step)
        cuts.push_back(at);
    const std::vector<Rec> whole = Decode(data, size, {});
    if (!Same(whole, Decode(data, size, cuts)))
        std::abort();

    // Through the manager's queue and back.
    static ConBase link([] {
        LinkOptions queueOnly;
        queueOnly.QueueOnly = true;
        return queueOnly;
    }());
    static std::vector<uint8_t> buffer(70000);
    for (const Rec& r : whole) {
        Msg m = r.M;
        if (m.Count > 1)
            m.Buf.pU8 = const_cast<uint8_t*>(r.Data.data());
        link.PushMsg(1, m);
        Msg got;
        got.Buf.pU8 = buffer.data();
        if (link.GetMsg(got, static_cast<int>(buffer.size())) != 0 || got.Len != m.Len ||
            got.Count != m.Count)
            std::abort();
        if (m.Count > 1 && std::memcmp(buffer.data(), r.Data.data(), r.Data.size()) != 0)
            std::abort();
        if (m.Count == 1 && std::memcmp(buffer.data(), r.M.Buf.U8, 4) != 0)
            std::abort();
    }
    return 0;
}
