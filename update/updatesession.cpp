// Device identification and the dispatch of received messages (MsgCallback), with the log lines of both.
#include "update/updatesession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "link/conbase.h"
#include "update/devicetext.h"
#include "update/updateview.h"

namespace {

// The link closes a device's socket right after it queues CLOSED, and ConBase::Close before it returns, so
// these waits end almost at once; the limit only keeps a faulty link from hanging the caller.
constexpr auto kCloseWait = std::chrono::seconds(2);

bool WaitClosed(ConBase& con, int handle) {
    return con.IsOpen(handle) == 0 || con.WaitClosed(handle, kCloseWait) == 0 || con.IsOpen(handle) == 0;
}

int32_t ReadI32LE(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
}

std::string ObjText(const Msg& m) {
    return "Obj(" + std::to_string(m.Obj) + "," + std::to_string(m.Par) + ")";
}

// A device text: the bytes of the four values, each lowest byte first, and a terminating zero. It is
// stored in text, logged after logPrefix and shown in display.
void ReceivedText(UpdateView& view, UpdateView::Display display, const char* logPrefix, char (&text)[17],
                  const int32_t (&values)[4]) {
    for (int i = 0; i < 4; ++i) {
        const auto u = static_cast<uint32_t>(values[i]);
        for (int b = 0; b < 4; ++b)
            text[i * 4 + b] = static_cast<char>((u >> (8 * b)) & 0xFF);
    }
    text[16] = '\0';
    LogLine(std::string(logPrefix) + text);
    view.SetDisplayText(display, DeviceTextUtf8(text));
}

} // namespace

UpdateSession::UpdateSession(ConBase& con, UpdateView& view)
    : Con(con), View(view), RxBuffer(std::make_unique<uint8_t[]>(kRxBufferSize)) {
    RxMsg.Buf.pU8 = RxBuffer.get();
}

UpdateSession::~UpdateSession() = default;

int UpdateSession::OpenDevice(const std::string& address, int port) {
    return OpenDevice(address, port, nullptr);
}

int UpdateSession::OpenDevice(const std::string& address, int port, SockConnectProblem* problem) {
    const int handle = Con.Open(address, port, problem);
    ClosedReason = -1;
    CurrentDevice = handle;
    OwnHandle = handle;
    KennungReported = false;
    SerialReported = false;
    return handle;
}

void UpdateSession::CloseDevice() {
    const int handle = CurrentDevice;
    if (Con.CloseGently(handle, kCloseLimit) == 0) {
        // The device's CLOSED record comes right after its socket closes: waited for as for its other records,
        // so that a thousand devices closing at once do not wake each other.
        const auto deadline = std::chrono::steady_clock::now() + kCloseLimit + kCloseWait;
        for (;;) {
            const uint64_t seen = RecordGeneration();
            if (Con.IsOpen(handle) == 0)
                return;
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                break;
            WaitForRecords(seen, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
        }
    }
    CloseDeviceNow();
}

void UpdateSession::BeginCloseDevice() {
    Con.CloseGently(CurrentDevice, kCloseLimit);
}

void UpdateSession::CloseDeviceNow() {
    const int handle = CurrentDevice;
    Con.Close(handle);
    if (!WaitClosed(Con, handle))
        LogLine("UpdateSession::CloseDevice: device " + std::to_string(handle) + " still open after Close");
}

void UpdateSession::RequestIdentification() {
    static constexpr int kObjects[9][2] = {{1, 2}, {1, 3}, {1, 5}, {1, 6}, {1, 12},
                                           {9, 2}, {9, 7}, {9, 8}, {9, 9}};
    const int handle = CurrentDevice;
    LinkBurst burst(Con, handle); // the nine reads leave together, in one frame
    for (const auto& o : kObjects)
        Con.RequestI32(handle, o[0], o[1]);
}

void UpdateSession::SetOwnHandleOnly(bool ownOnly) {
    OwnHandleOnly = ownOnly;
}

void UpdateSession::MsgCallback(int) {
    std::lock_guard guard(DispatchLock);
    const bool own = OwnHandleOnly.load();
    const int handle = OwnHandle.load();
    if (own && handle == 0)
        return; // no device opened yet: nothing here is this session's
    while ((own ? Con.GetMsgCount(handle) : Con.GetMsgCount()) > 0) {
        RxMsg.Buf.pU8 = RxBuffer.get();
        const int taken = own ? Con.GetMsg(handle, RxMsg, kRxCapacity) : Con.GetMsg(RxMsg, kRxCapacity);
        if (taken < 0)
            break; // another consumer emptied the queue
        if (taken > 0) {
            // Larger than the buffer offered: left at the head of the queue it would stop every later
            // message, so it is dropped.
            LogLine("UpdateSession::MsgCallback: dropped " + ObjText(RxMsg) + " with " +
                    std::to_string(taken) + " bytes (more than " + std::to_string(kRxCapacity) + ")");
            if (own)
                Con.DropMsg(handle);
            else
                Con.DropMsg();
            continue;
        }
        Dispatch();
    }
}

void UpdateSession::Dispatch() {
    const Msg& m = RxMsg;
    switch (m.Kind) {
    case KIND_CLOSED:
        NoteUpdateRecord(m);
        OnClosed(m.Handle, Con.ClosedReason(m.Handle)); // asked before OnClosed removes the device
        break;
    case KIND_CONNECTED:
        LogLine("Q7Config::MsgCallback: CONNECTED");
        CurrentDevice = m.Handle;
        KennungReported = false;
        SerialReported = false;
        break;
    case KIND_WOK:
        LogLine("Q7Config::MsgCallback: WOK " + ObjText(m));
        NoteUpdateRecord(m);
        break;
    case KIND_ERROR:
        LogLine("Q7Config::MsgCallback: Error " + ObjText(m));
        NoteUpdateRecord(m);
        break;
    case KIND_WRITE:
    case KIND_VALUE:
        LogLine("Q7Config::MsgCallback: MSG " + ObjText(m));
        switch (m.Type) {
        case TYPE_I8:
            LogLine("Q7Config::MsgCallback: MSG I8");
            break;
        case TYPE_I16:
            LogLine("Q7Config::MsgCallback: MSG I16");
            break;
        case TYPE_F32:
            LogLine("Q7Config::MsgCallback: MSG F32");
            break;
        case TYPE_I32:
            LogLine("Q7Config::MsgCallback: MSG I32");
            OnValues();
            break;
        default:
            break;
        }
        break;
    default:
        break; // KIND_READ and anything else: not even a log line
    }
}

void UpdateSession::OnClosed(int handle, int32_t reason) {
    // Acts on the device the record names: a CLOSED of an earlier device must neither wait for ever on the
    // current one nor take the current one offline.
    if (WaitClosed(Con, handle))
        Con.Remove(handle);
    else
        LogLine("UpdateSession::OnClosed: device " + std::to_string(handle) + " still open, kept");
    const int current = CurrentDevice;
    if (current == handle || current == 0) {
        ClosedReason = reason;
        CurrentDevice = 0;
        Online = 0;
        KennungReported = false;
        SerialReported = false;
        View.SetOnline(false);
        View.SetConnectLabel("Connect");
    }
    LogLine("Q7Config::MsgCallback: CLOSED");
}

bool UpdateSession::TakeValues(int32_t* values, int n) {
    const Msg& m = RxMsg;
    // Count 0 or 1 comes in place (GetMsg writes 4 bytes); more values come as Len bytes of data.
    int available = m.Count;
    if (m.Count > 1)
        available = std::min(m.Count, std::min(m.Len, kRxCapacity) / 4);
    if (available < n) {
        LogLine("UpdateSession::TakeValues: " + ObjText(m) + " ignored, " + std::to_string(available) +
                " of " + std::to_string(n) + " values");
        return false;
    }
    for (int i = 0; i < n; ++i)
        values[i] = ReadI32LE(RxBuffer.get() + 4 * i);
    return true;
}

void UpdateSession::OnValues() {
    const Msg& m = RxMsg;
    int32_t v[4] = {};
    if (m.Obj == 1) {
        if (m.Par == 2 || m.Par == 12) {
            Online = 1;
            View.SetOnline(true);
        }
        switch (m.Par) {
        case 3:
            if (TakeValues(v, 1))
                ReceivedSerial(v[0]);
            break;
        case 5:
            if (TakeValues(v, 1))
                ReceivedKennung(v[0]);
            break;
        case 6:
            if (TakeValues(v, 1))
                ReceivedMode(v[0]);
            break;
        case 12:
            if (TakeValues(v, 1))
                ReceivedVersion(v[0]);
            break;
        default:
            break;
        }
    } else if (m.Obj == 9) {
        if (m.Par != 2 && m.Par != 7 && m.Par != 8 && m.Par != 9)
            return;
        if (!TakeValues(v, 4))
            return;
        switch (m.Par) {
        case 2:
            ReceivedName(v[0], v[1], v[2], v[3]);
            break;
        case 7:
            ReceivedOEMName(v[0], v[1], v[2], v[3]);
            break;
        case 8:
            ReceivedDeviceName(v[0], v[1], v[2], v[3]);
            break;
        case 9:
            ReceivedLibraryName(v[0], v[1], v[2], v[3]);
            break;
        default:
            break;
        }
    }
}

void UpdateSession::ReceivedSerial(int32_t value) {
    Serial = value;
    SerialReported = true;
    LogLine("VskComTest::ReceivedSerial: SERIAL=" + std::to_string(value));
    char text[16];
    std::snprintf(text, sizeof text, "%.8d", value);
    View.SetDisplayText(UpdateView::Display::DSPMODSERIAL, text);
}

void UpdateSession::ReceivedKennung(int32_t value) {
    Kennung = value;
    KennungReported = true;
    View.SetKennung(value);
}

void UpdateSession::ReceivedMode(int32_t value) {
    Mode = value;
    LogLine("VskComTest::CheckDevice: Mode=" + std::to_string(static_cast<uint32_t>(value)));
    char text[16];
    std::snprintf(text, sizeof text, "%Xh", static_cast<unsigned>(value));
    View.SetDisplayText(UpdateView::Display::MODE, text);
}

void UpdateSession::ReceivedVersion(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    VersionHigh = static_cast<int32_t>(u >> 16);
    VersionLow = static_cast<int32_t>(u & 0xFFFF);
    const std::string text = "HWV=" + std::to_string(VersionHigh) + "." + std::to_string(VersionLow);
    View.SetDisplayText(UpdateView::Display::VERSION, text);
    LogLine("VskComTest::ReceivedVersion: VERSION=" + text);
}

void UpdateSession::ReceivedName(int32_t v0, int32_t v1, int32_t v2, int32_t v3) {
    ReceivedText(View, UpdateView::Display::DSPMODNAME, "VskComTest::ReceivedName: NAME=", Name,
                 {v0, v1, v2, v3});
}

void UpdateSession::ReceivedOEMName(int32_t v0, int32_t v1, int32_t v2, int32_t v3) {
    ReceivedText(View, UpdateView::Display::OEMUSERNAME, "VskComTest::ReceivedOEMName: NAME=", OemName,
                 {v0, v1, v2, v3});
}

void UpdateSession::ReceivedDeviceName(int32_t v0, int32_t v1, int32_t v2, int32_t v3) {
    ReceivedText(View, UpdateView::Display::OEMDEVICENAME,
                 "VskComTest::CheckDevice: ReceivedDeviceName=", DeviceName, {v0, v1, v2, v3});
}

void UpdateSession::ReceivedLibraryName(int32_t v0, int32_t v1, int32_t v2, int32_t v3) {
    ReceivedText(View, UpdateView::Display::OEMLIBNAME,
                 "VskComTest::CheckDevice: ReceivedLibraryName=", LibraryName, {v0, v1, v2, v3});
}
