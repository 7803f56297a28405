// UpdateSession: the device the tool talks to, its identification and the dispatch of received messages
// (MsgCallback). Shared by the window and the command-line tool; it shows things only through UpdateView.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/msg.h"

class ConBase;
class UpdateView;
class UpdateClock;
class FwConfig;
enum class SockConnectProblem;
struct _FWUpdate;
enum class UpdateOutcome : int;
enum class ImageRead;

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
    // The same, telling in *problem how the connection attempt went (ConBase::Open).
    int OpenDevice(const std::string& address, int port, SockConnectProblem* problem);
    // Closes the current device gently (ConBase::CloseGently: what was queued goes out, what the device
    // still sends is read, and the device reads the end of the stream after the last message) and waits until
    // the link reports it closed, at most kCloseLimit and a moment; a device that has not closed by then is
    // closed at once. CurrentDevice stays set until the CLOSED event reaches MsgCallback.
    void CloseDevice();
    // The same without waiting (a window's Close): the CLOSED event follows through MsgCallback.
    void BeginCloseDevice();
    // Closes the current device at once (a device that never answered: nothing of its is left to read).
    void CloseDeviceNow();
    // How long a gentle close waits for the device to close its side.
    static constexpr std::chrono::milliseconds kCloseLimit{2000};
    // Queues the nine identification requests to CurrentDevice.
    void RequestIdentification();
    // Takes every queued record and dispatches it. handle plays no part. Safe from any thread; one run at a
    // time.
    void MsgCallback(int handle);
    // Several sessions on one link manager: each then takes only the records of the device it opened
    // last, and leaves the others' to them. The window keeps the default and drains them all.
    void SetOwnHandleOnly(bool ownOnly);

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
    // Why the link closed the current device (a CLOSED_* reason), set when its CLOSED record is dispatched;
    // -1 while it has not been closed since it was opened.
    std::atomic<int> ClosedReason{-1};

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
    // A dry run: the update start makes every check and then ends with UpdateOutcome::Checked, before
    // anything is sent.
    bool CheckOnly = false;
    // While the worker runs, the update start shows activity (Progress and Repaint five times a second);
    // without, it only waits for the worker's result (a view with nothing to animate, many sessions at once).
    bool ActivitySteps = true;
    // 0 while the worker runs, 1 when the programming sequence succeeded, -1 when it failed. One per
    // session, so that sessions updating several devices at once do not share it.
    std::atomic<int32_t> UpdateResult{0};

    // ---- Update: flash programming (programflash.cpp) and the update start (updatestart.cpp) ----

    // The programming sequence on CurrentDevice: 0 when it ran to its end and the device reported no error
    // to a page, the erase or the end of the image; -1 when it stopped early (link lost, error reply, stop).
    int ProgramFlash(const uint8_t* data, int32_t length, const std::string& name, int32_t version,
                     int32_t revision);
    // Writes one I32 value to CurrentDevice: the write's result (negative when refused).
    int SetParameter(int obj, int par, int32_t value);
    // Has the device erase its flash, then waits 4000 ms: 0, or -1 when the link is gone.
    int EraseFlash();
    // Sends page (1 to 256 bytes), then waits 50 ms: 0, or -1 when the page has no address or the link is
    // gone.
    int WritePage(int32_t page, const uint8_t* data, int count);
    // Loads and checks the image, runs UpdateWorker and waits for it, showing progress and the result.
    UpdateOutcome RunFirmwareUpdate(const std::string& path, int32_t version, int32_t revision,
                                    int32_t checksum);
    // The body of the update worker: ProgramFlash, then UpdateResult.
    void UpdateWorker(_FWUpdate job);
    // Everything after the operator chose cfgFile: Load, the rules, the image path, RunFirmwareUpdate.
    UpdateOutcome StartUpdateWith(FwConfig& config, const std::string& cfgFile);
    // MsgCallback reports every CLOSED, WOK and error record here; a running update decides by them.
    void NoteUpdateRecord(const Msg& record);
    // The pages of the last update handed to the link, and those of them the device acknowledged (WOK).
    int64_t UpdatePagesSent() const { return PagesSent.load(); }
    int64_t UpdatePagesAcknowledged() const { return PagesAcknowledged.load(); }
    // Whether the device acknowledged the end of the image of the last update.
    bool UpdateEndAcknowledged() const { return EndAcknowledged.load(); }
    // Whether the last update failed because the device stopped acknowledging its pages, or did not
    // acknowledge the end of the image.
    enum class Shortfall { None, Pages, End };
    Shortfall UpdateShortfall() const { return AckShortfall.load(); }
    // When the last update failed because the device stopped acknowledging: what it confirmed, as in
    // "64 of 64 pages sent, 19 acknowledged by the device, the end of the image not acknowledged"; else empty.
    std::string UpdateShortfallText() const;
    // What of the last update the device answered with an error: "page N" (counted from 1), "the erase" or
    // "the end of the image"; empty when it answered none with an error.
    std::string UpdateErrorPlace() const;
    // Ends a running sequence early; its result is then ERROR.
    void RequestUpdateStop();
    // Paces the sequence by this clock instead of sleeping for real (nullptr: real sleeps).
    void SetUpdateClock(UpdateClock* clock);

protected:
    // Starts the update worker; false when no thread could be started.
    virtual bool StartUpdateWorker(std::function<void()> body);
    // How the update worker waits for the device's records: RecordGeneration is taken before the queue is
    // drained, and WaitForRecords returns once a record may have come since (or limit passed, or the update
    // is to stop). The default looks again every few milliseconds; a session with a notification receiver
    // of its own waits for it.
    virtual uint64_t RecordGeneration();
    virtual void WaitForRecords(uint64_t seen, std::chrono::milliseconds limit);
    // The bytes of the image file at path (UTF-8) for an update, read by ReadImage: Ok with image set, or why
    // not. A subclass that updates many devices from one file may read it once for all of them.
    virtual ImageRead LoadImage(const std::string& path, std::shared_ptr<const std::vector<uint8_t>>& image);

private:
    int RunSequence(const uint8_t* data, int32_t length, const std::string& name, int32_t version,
                    int32_t revision);
    void MarkWrite();
    void PauseAfterWrite(std::chrono::milliseconds pause);
    bool UpdateLinkGone();
    // Takes the device's records until done() holds: true then. Each acknowledgement renews the wait, which
    // otherwise ends after the link's silence allowance; it ends at once on a stop, a lost link or an error
    // reply: false.
    bool WaitForDevice(const std::function<bool()>& done);
    // Waits until the device has acknowledged pages 0 to pages - 1 (and with end, the end of the image);
    // when it stopped acknowledging, UpdateShortfallText tells what it confirmed.
    bool WaitForAcknowledgements(int64_t pages, bool end);
    // After a failed sequence on a closed link: takes and dispatches the device's CLOSED record (bounded),
    // so the caller finds the device gone when ProgramFlash returns.
    void TakeClosedRecord();

    UpdateClock* PaceClock = nullptr;
    std::chrono::steady_clock::time_point LastWrite;
    std::mutex PaceLock; // with PaceWake: the pauses, the stop request and the end of the worker
    std::condition_variable PaceWake;
    std::atomic<bool> StopUpdate{false};
    std::thread UpdateThread;
    // The running update, as MsgCallback reports to it.
    std::atomic<bool> UpdateActive{false};
    std::atomic<int> UpdateDevice{0};
    std::atomic<int64_t> PagesSent{0};
    std::atomic<int64_t> PagesAcknowledged{0}; // distinct pages
    std::atomic<int64_t> PagesInImage{0};
    std::atomic<int64_t> AckedThrough{0}; // pages 0 to AckedThrough - 1 are all acknowledged
    std::atomic<bool> EndAcknowledged{false};
    std::atomic<Shortfall> AckShortfall{Shortfall::None};
    std::mutex AckLock;                    // PageAcked
    std::vector<bool> PageAcked;           // by page index, for the running update
    std::atomic<bool> EraseSent{false};
    std::atomic<bool> EndSent{false};
    std::atomic<bool> UpdateEndSent{false};
    std::atomic<bool> UpdateEndTaken{false}; // the device answered the update end
    std::atomic<bool> LinkLostSeen{false};
    std::atomic<int> ErrorReplyOn{0};
    std::atomic<int64_t> ErrorReplyPage{-1}; // the page index of an error reply to a page
    // ---- end of the update's section ----

protected:
    ConBase& Con; // the link manager
    UpdateView& View;

private:
    void Dispatch();
    void OnClosed(int handle, int32_t reason);
    void OnValues();
    // The first n 32-bit values of the record just taken, or false (with a log line) when it carries fewer.
    bool TakeValues(int32_t* values, int n);

    std::mutex DispatchLock; // one MsgCallback run at a time (GUI thread and update worker)
    std::atomic<bool> OwnHandleOnly{false};
    std::atomic<int> OwnHandle{0}; // the device opened last
    std::unique_ptr<uint8_t[]> RxBuffer;
    Msg RxMsg; // the message record; its Buf.pU8 points at RxBuffer
};
