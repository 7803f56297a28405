// The device wire format: encoding messages, packing them into frames, and cutting a
// received byte stream into frames and decoded Msg records. Plain functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "link/msg.h"

constexpr size_t kMsgHeaderSize = 12;   // kind, 24-bit length, reserved, obj, par
constexpr size_t kFrameHeaderSize = 8;  // start marker, length, reserved, header checksum
constexpr size_t kFrameTrailerSize = 4; // payload checksum, end marker
constexpr size_t kFrameOverhead = kFrameHeaderSize + kFrameTrailerSize;
constexpr size_t kMaxPayload = 2500;                         // payload of a frame the tool builds
constexpr size_t kMaxMsgData = kMaxPayload - kMsgHeaderSize; // 2488: data of one outgoing message
constexpr size_t kMaxFrameLength = 65535;                    // a received frame's 16-bit length field

// Kind bytes of the tool's fixed encoders: bits 0-2 command, 3-5 type, bit 7 on writes.
constexpr uint8_t kKindRequestI32 = 0x18;
constexpr uint8_t kKindRequestI8 = 0x08;
constexpr uint8_t kKindRequestF32 = 0x20;
constexpr uint8_t kKindWriteI8 = 0x89;
constexpr uint8_t kKindWriteI32 = 0x99;
constexpr uint8_t kKindWriteF32 = 0xA1;

// Two's complement of the 16-bit byte sum: covered bytes plus checksum add up to 0.
uint16_t FrameChecksum(const uint8_t* data, size_t len);

// Size in bytes of one element of a TYPE_* (0 for TYPE_NONE and invalid types).
size_t ElementSize(int type);

// Encoders: append one message (12-byte header + data) to out and return the bytes
// appended; -1 (nothing appended) when the data exceed 2488 bytes or are missing.
// Object and parameter are stored as their low 16 bits.
int EncodeMsg(std::vector<uint8_t>& out, uint8_t kindByte, int obj, int par, const uint8_t* data, size_t len);
int EncodeRequestI32(std::vector<uint8_t>& out, int obj, int par);
int EncodeRequestI8(std::vector<uint8_t>& out, int obj, int par);
int EncodeRequestF32(std::vector<uint8_t>& out, int obj, int par);
int EncodeWriteI8(std::vector<uint8_t>& out, int obj, int par, const uint8_t* data, int count);
int EncodeWriteI32(std::vector<uint8_t>& out, int obj, int par, const int32_t* data, int count);
int EncodeWriteF32(std::vector<uint8_t>& out, int obj, int par, const float* data, int count);

// Encoded messages waiting to be framed, oldest first.
using TxMessages = std::deque<std::vector<uint8_t>>;

// Takes whole messages from the front of queue while the payload stays within 2500
// bytes and writes them as one frame into frame (cleared first). Returns the frame
// length (payload + 12), 0 when nothing was taken. removed receives the bytes taken
// from the queue (an entry too large for any frame is dropped and counted there).
int BuildFrame(TxMessages& queue, std::vector<uint8_t>& frame, size_t& removed);

// Received bytes not yet consumed. Consuming moves an offset; the storage is compacted
// only when the consumed part outweighs the rest, so each byte costs the same however
// much is buffered.
class RxBuffer {
public:
    void Append(const uint8_t* data, size_t len);
    const uint8_t* Data() const { return Bytes.data() + Start; }
    size_t Size() const { return Bytes.size() - Start; }
    void Consume(size_t n);
    void Clear();

private:
    std::vector<uint8_t> Bytes;
    size_t Start = 0;
};

// Frame scanner state; it survives between calls, starting in Searching.
enum class RxScanState { Searching, AtStart };

// Receives each decoded record, Handle already set. When Count > 1, Buf.pU8 points at
// Count x element size bytes that stay valid only during the call: copy them.
using MsgSink = std::function<void(const Msg&)>;

// Finds, checks and decodes every complete frame in buf (records go to sink with this
// handle) and leaves an incomplete frame for the next call. Garbage, a length below 12
// and a wrong end marker are skipped so the scanner resynchronises on the next marker.
void ScanFrames(RxBuffer& buf, RxScanState& state, int handle, const MsgSink& sink);

// Decodes the messages of one frame's payload; returns the payload bytes consumed.
// Stops at a message whose data would run past the payload (it is not delivered).
size_t DecodePayload(const uint8_t* payload, size_t n, int handle, const MsgSink& sink);

// Builds one record from a decoded header and its data (length bytes readable at data)
// and hands it to sink. Returns length; -1 for an invalid command (6, 7), -2 for an
// invalid type (5..7); nothing is delivered then.
int DeliverMsg(uint8_t kindByte, uint16_t obj, uint16_t par, uint32_t length, const uint8_t* data, int handle,
               const MsgSink& sink);
