// UpdateSession: the device the tool talks to, its identification and the dispatch of received messages
// (MsgCallback). Shared by the window and the command-line tool; it shows things only through UpdateView.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/msg.h"

class ConBase;
class UpdateView;

class UpdateSession {
public:
    // The OEM number this tool is built for.
    static constexpr int32_t OemNumber = 19;
    // Size of RxBuffer, and the capacity offered to ConBase::GetMsg per call.
    static constexpr int kRxBufferSize = 8000;
    static constexpr int kRxCapacity = 4000;

    UpdateSession(ConBase& con, UpdateView& view);
    virtual ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // ---- Connection and identification (updatesession.cpp) ----

    // Opens the device and makes it the current one: the handle, or 0 when no connection was made.
    int OpenDevice(const std::string& address, int port);
    // Closes the current device and waits until the link reports it closed. CurrentDevice stays set until
    // the CLOSED event reaches MsgCallback.
    void CloseDevice();
    // Queues the nine identification requests to CurrentDevice.
    void RequestIdentification();
    // Takes every queued record and dispatches it. handle plays no part. Safe from any thread; one run at a
    // time.
    void MsgCallback(int handle);

    // Identification handlers: store the value(s) and show them.
    void ReceivedSerial(int32_t value);
    void ReceivedKennung(int32_t value);
    void ReceivedMode(int32_t value);
    void ReceivedVersion(int32_t value);
    void ReceivedName(int32_t v0, int32_t v1, int32_t v2, int32_t v3);
    void ReceivedOEMName(int32_t v0, int32_t v1, int32_t v2, int32_t v3);
    void ReceivedDeviceName(int32_t v0, int32_t v1, int32_t v2, int32_t v3);
    void ReceivedLibraryName(int32_t v0, int32_t v1, int32_t v2, int32_t v3);

    // The device the tool talks to (0 = none) and whether it has answered.
    std::atomic<int> CurrentDevice{0};
    std::atomic<int> Online{0};
    // Whether the current connection has reported its OEM id and its serial number. Both turn false when a
    // device is opened, at CONNECTED and at CLOSED; the values below keep what was last reported.
    std::atomic<bool> KennungReported{false};
    std::atomic<bool> SerialReported{false};

    // The last reported identification values (zero and empty before the first reply).
    int32_t Kennung = 0;
    int32_t VersionHigh = 0;
    int32_t VersionLow = 0;
    int32_t Serial = 0;
    int32_t Mode = 0;
    char Name[17] = {};
    char OemName[17] = {};
    char DeviceName[17] = {};
    char LibraryName[17] = {};

    // Administrator mode lifts the OEM rule of the update start.
    bool AdminMode = false;

    // ---- Update: flash programming (programflash.cpp) and the update start ----
    // (added by the update's own files)
    // ---- end of the update's section ----

protected:
    ConBase& Con; // the link manager
    UpdateView& View;

private:
    void Dispatch();
    void OnClosed(int handle);
    void OnValues();
    // The first n 32-bit values of the record just taken, or false (with a log line) when it carries fewer.
    bool TakeValues(int32_t* values, int n);

    std::mutex DispatchLock; // one MsgCallback run at a time (GUI thread and update worker)
    std::unique_ptr<uint8_t[]> RxBuffer;
    Msg RxMsg; // the message record; its Buf.pU8 points at RxBuffer
};
