// The device wire format: message encoders, the frame builder and the frame scanner.
#include "link/frame.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kStart0 = 0xDA, kStart1 = 0xFE; // start marker 0xFEDA, little-endian
constexpr uint8_t kEnd0 = 0xFE, kEnd1 = 0xDA;     // end marker 0xDAFE, little-endian

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t GetU24(const uint8_t* p) {
    return p[0] | p[1] << 8 | static_cast<uint32_t>(p[2]) << 16;
}

} // namespace

uint16_t FrameChecksum(const uint8_t* data, size_t len) {
    uint16_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum = static_cast<uint16_t>(sum + data[i]);
    return static_cast<uint16_t>(-sum);
}

size_t ElementSize(int type) {
    switch (type) {
    case TYPE_I8:
        return 1;
    case TYPE_I16:
        return 2;
    case TYPE_I32:
    case TYPE_F32:
        return 4;
    default:
        return 0;
    }
}

int EncodeMsg(std::vector<uint8_t>& out, uint8_t kindByte, int obj, int par, const uint8_t* data,
              size_t len) {
    if (len > kMaxMsgData || (len > 0 && data == nullptr))
        return -1;
    uint8_t header[kMsgHeaderSize] = {kindByte,
                                      static_cast<uint8_t>(len),
                                      static_cast<uint8_t>(len >> 8),
                                      static_cast<uint8_t>(len >> 16),
                                      0,
                                      0,
                                      0,
                                      0};
    PutU16(header + 8, static_cast<uint16_t>(obj));
    PutU16(header + 10, static_cast<uint16_t>(par));
    out.insert(out.end(), header, header + kMsgHeaderSize);
    if (len > 0)
        out.insert(out.end(), data, data + len);
    return static_cast<int>(kMsgHeaderSize + len);
}

int EncodeRequestI32(std::vector<uint8_t>& out, int obj, int par) {
    return EncodeMsg(out, kKindRequestI32, obj, par, nullptr, 0);
}

int EncodeRequestI8(std::vector<uint8_t>& out, int obj, int par) {
    return EncodeMsg(out, kKindRequestI8, obj, par, nullptr, 0);
}

int EncodeRequestF32(std::vector<uint8_t>& out, int obj, int par) {
    return EncodeMsg(out, kKindRequestF32, obj, par, nullptr, 0);
}

int EncodeWriteI8(std::vector<uint8_t>& out, int obj, int par, const uint8_t* data, int count) {
    if (count < 0)
        return -1;
    return EncodeMsg(out, kKindWriteI8, obj, par, data, static_cast<size_t>(count));
}

namespace {

// 32-bit elements go out little-endian, byte by byte, whatever the host order.
template <typename T>
int EncodeWords(std::vector<uint8_t>& out, uint8_t kind, int obj, int par, const T* data, int count) {
    static_assert(sizeof(T) == 4);
    if (count < 0 || static_cast<size_t>(count) > kMaxMsgData / 4 || (count > 0 && data == nullptr))
        return -1;
    uint8_t bytes[kMaxMsgData];
    for (int i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, &data[i], 4);
        bytes[4 * i] = static_cast<uint8_t>(v);
        bytes[4 * i + 1] = static_cast<uint8_t>(v >> 8);
        bytes[4 * i + 2] = static_cast<uint8_t>(v >> 16);
        bytes[4 * i + 3] = static_cast<uint8_t>(v >> 24);
    }
    return EncodeMsg(out, kind, obj, par, bytes, 4 * static_cast<size_t>(count));
}

} // namespace

int EncodeWriteI32(std::vector<uint8_t>& out, int obj, int par, const int32_t* data, int count) {
    return EncodeWords(out, kKindWriteI32, obj, par, data, count);
}

int EncodeWriteF32(std::vector<uint8_t>& out, int obj, int par, const float* data, int count) {
    return EncodeWords(out, kKindWriteF32, obj, par, data, count);
}

int BuildFrame(TxMessages& queue, std::vector<uint8_t>& frame, size_t& removed) {
    frame.clear();
    removed = 0;
    frame.resize(kFrameHeaderSize);
    size_t total = 0;
    while (!queue.empty()) {
        const std::vector<uint8_t>& next = queue.front();
        if (next.size() > kMaxPayload) {
            // Could never be framed; dropping it keeps the queue moving.
            removed += next.size();
            queue.pop_front();
            continue;
        }
        if (total + next.size() > kMaxPayload)
            break;
        frame.insert(frame.end(), next.begin(), next.end());
        total += next.size();
        removed += next.size();
        queue.pop_front();
    }
    if (total == 0) {
        frame.clear();
        return 0;
    }
    const size_t length = total + kFrameOverhead;
    frame[0] = kStart0;
    frame[1] = kStart1;
    PutU16(&frame[2], static_cast<uint16_t>(length));
    frame[4] = 0;
    frame[5] = 0;
    PutU16(&frame[6], FrameChecksum(&frame[2], 4));
    const uint16_t sum = FrameChecksum(frame.data() + kFrameHeaderSize, total);
    frame.push_back(static_cast<uint8_t>(sum));
    frame.push_back(static_cast<uint8_t>(sum >> 8));
    frame.push_back(kEnd0);
    frame.push_back(kEnd1);
    return static_cast<int>(length);
}

void RxBuffer::Append(const uint8_t* data, size_t len) {
    if (Start > 0 && Start >= Bytes.size() - Start) {
        // Consumed part outweighs the rest: move the rest to the front once.
        Bytes.erase(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(Start));
        Start = 0;
    }
    if (len == 0)
        return;
    const size_t old = Bytes.size();
    Bytes.resize(old + len);
    std::memcpy(Bytes.data() + old, data, len);
}

void RxBuffer::Consume(size_t n) {
    Start += std::min(n, Size());
    if (Start == Bytes.size()) {
        Bytes.clear();
        Start = 0;
    }
}

void RxBuffer::Clear() {
    Bytes.clear();
    Start = 0;
}

int DeliverMsg(uint8_t kindByte, uint16_t obj, uint16_t par, uint32_t length, const uint8_t* data, int handle,
               const MsgSink& sink) {
    Msg m;
    const int command = kindByte & 7;
    if (command >= 6)
        return -1;
    m.Kind = command >= 4 ? KIND_ERROR : command;
    const int type = (kindByte >> 3) & 7;
    if (type > TYPE_F32)
        return -2;
    m.Type = type;
    const size_t size = ElementSize(type);
    m.Count = size == 0 ? 0 : static_cast<int32_t>(length / size);
    if (m.Count > 1) {
        // The sink copies the block; the bytes lie little-endian as the host keeps them.
        m.Buf.pU8 = const_cast<uint8_t*>(data);
    } else if (size > 0) {
        // The first element in place, high bytes zero; never more than the data hold.
        std::memcpy(m.Buf.U8, data, std::min<size_t>(size, length));
    }
    m.Obj = obj;
    m.Par = par;
    m.Len = static_cast<int32_t>(length);
    m.Handle = handle;
    sink(m);
    return static_cast<int>(length);
}

size_t DecodePayload(const uint8_t* payload, size_t n, int handle, const MsgSink& sink) {
    size_t pos = 0;
    while (n - pos >= kMsgHeaderSize) {
        const uint8_t* h = payload + pos;
        const uint8_t kind = h[0];
        const uint32_t length = GetU24(h + 1);
        const int command = kind & 7;
        // An error reply carries exactly 4 data bytes, whatever its length says.
        const size_t dataSize = (command == 4 || command == 5) ? 4 : length;
        const size_t left = n - pos - kMsgHeaderSize;
        if (dataSize > left || length > left)
            break; // runs past the end of its frame: not delivered
        DeliverMsg(kind, GetU16(h + 8), GetU16(h + 10), length, h + kMsgHeaderSize, handle, sink);
        pos += kMsgHeaderSize + dataSize;
    }
    return pos;
}

void ScanFrames(RxBuffer& buf, RxScanState& state, int handle, const MsgSink& sink) {
    for (;;) {
        const size_t n = buf.Size();
        if (n < kFrameOverhead)
            return;
        const uint8_t* p = buf.Data();
        if (state == RxScanState::Searching) {
            size_t i = 0;
            bool found = false;
            while (i + 1 < n) {
                const void* hit = std::memchr(p + i, kStart0, n - 1 - i);
                if (hit == nullptr)
                    break;
                i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
                if (p[i + 1] == kStart1) {
                    found = true;
                    break;
                }
                ++i;
            }
            if (found) {
                buf.Consume(i);
                state = RxScanState::AtStart;
            } else {
                // No marker: keep only a last byte that may begin one split across reads.
                buf.Consume(p[n - 1] == kStart0 ? n - 1 : n);
            }
            continue;
        }
        const size_t length = GetU16(p + 2);
        if (length < kFrameOverhead) {
            buf.Consume(2);
            state = RxScanState::Searching;
            continue;
        }
        if (n < length)
            return; // wait for the rest of the frame
        if (p[length - 2] != kEnd0 || p[length - 1] != kEnd1) {
            buf.Consume(2);
            state = RxScanState::Searching;
            continue;
        }
        DecodePayload(p + kFrameHeaderSize, length - kFrameOverhead, handle, sink);
        // The whole frame goes, also when its decoding stopped early: bytes inside a
        // frame's payload are never taken for the start of another frame.
        buf.Consume(length);
        state = RxScanState::Searching;
    }
}
