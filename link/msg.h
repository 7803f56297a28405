// The message record: one decoded device message or one local link event, as the
// link hands it to the rest of the program through the received-message queue.
#pragma once

#include <cstdint>

// Event kinds (Msg::Kind). 0..4 come from the command field of a received header,
// 5 and 6 are produced by the link itself.
enum {
    KIND_READ = 0,
    KIND_WRITE = 1,
    KIND_VALUE = 2,
    KIND_WOK = 3,
    KIND_ERROR = 4,
    KIND_CLOSED = 5,
    KIND_CONNECTED = 6,
};

// Why the link closed a device (ConBase::ClosedReason).
enum {
    CLOSED_BY_CALLER = 0, // ConBase::Close
    CLOSED_SILENT = 1,    // the device sent nothing for 1000 ticks
    CLOSED_BY_PEER = 2,   // the device ended or reset the connection
    CLOSED_ON_ERROR = 3,  // the connection failed otherwise (its request timed out, no route, ...)
};

// Element types (Msg::Type), bits 3..5 of the kind byte.
enum {
    TYPE_NONE = 0,
    TYPE_I8 = 1,
    TYPE_I16 = 2,
    TYPE_I32 = 3,
    TYPE_F32 = 4,
};

struct Msg {
    int32_t Handle = 0; // device the message came from; never 0 for a real device
    int32_t Kind = 0;   // KIND_*
    int32_t Type = 0;   // TYPE_*
    uint16_t Obj = 0;
    uint16_t Par = 0;
    int32_t Count = 0; // elements in the data
    int32_t Len = 0;   // the header's data length in bytes, as received
    // Count 0 or 1: the single value in place (high bytes zero); Count > 1: pU8 points
    // at the data (a heap block while queued, the caller's buffer once taken).
    union {
        uint8_t* pU8;
        int32_t I32;
        float F32;
        uint8_t U8[4];
        uint64_t Raw; // zero-initialises the whole union
    } Buf{.Raw = 0};
};
