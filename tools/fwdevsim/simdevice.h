// The simulated DSP device over byte buffers: answers identification reads, acknowledges writes,
// models the flash of an update and reports what one session received. No sockets, no timing: a device
// that takes time for each page stops before each page until told to go on.
#pragma once

#include "link/frame.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Who the device says it is.
struct SimIdentity {
    int32_t Kennung = 19; // OEM id, (1,5)
    int32_t Serial = 12345678;
    uint16_t VersionHigh = 1;
    uint16_t VersionLow = 4;
    int32_t Mode = 0x1F;
    std::string Name = "DSP-Q7";                      // (9,2), at most 16 bytes are sent
    std::string OemName = "OEM User";                 // (9,7)
    std::string DeviceName = "Q7 Demo";               // (9,8)
    std::string LibraryName = "Lib 1.4";              // (9,9)
    std::set<std::pair<uint16_t, uint16_t>> NoAnswer; // read requests left unanswered
};

// Faults the device model itself acts on (the transport faults live in the server).
struct SimModelFaults {
    std::optional<int64_t> CloseAfterPages; // ask to close once this many pages have arrived
    std::optional<int64_t> ErrorOnPage;     // reply with an error instead of WOK to this page index
    std::optional<int64_t> NoAckAfterPages; // acknowledge no write after this many pages
};

// One message as it travels inside a frame.
struct SimMessage {
    uint8_t KindByte = 0;
    uint16_t Obj = 0;
    uint16_t Par = 0;
    std::vector<uint8_t> Data;
};

// What one session received, for the JSON line.
struct SimSessionReport {
    int64_t Reads = 0;
    int64_t Writes = 0;
    bool UpdateStarted = false; // (10,9) = 1
    bool UpdateEnded = false;   // (10,9) = 0
    std::optional<uint32_t> Date;
    std::optional<int32_t> Version;
    std::optional<int32_t> Revision;
    std::optional<std::string> Name;
    int64_t Erases = 0;
    bool ImageEnded = false; // (2,5)
    int64_t Pages = 0;
    int64_t Bytes = 0;
    int64_t OrderErrors = 0;
    std::vector<std::string> Problems; // the first few order errors in words
    int64_t ErrorReplies = 0;
    std::vector<uint8_t> Image; // reassembled, bit reversal undone
    // Wall-clock times (ms since 1970) of the update start and the end of the image, as the server saw
    // them arrive, so that the sessions of several simulators can be laid side by side.
    std::optional<int64_t> UpdateStartedAt;
    std::optional<int64_t> ImageEndedAt;
    // One whole image: erased, pages from the first on in order without a gap, repeat, short page before
    // the last or rejected page, then the end of the image and the update end (set by Report).
    bool Whole = false;
};

// Page index of a flash page address; nullopt when (obj, par) is no page.
std::optional<int64_t> PageIndexOf(uint16_t obj, uint16_t par);

// "YYYY-MM-DD" of a date value (bits 0-15 year, 16-23 month, 24-31 day).
std::string DateText(uint32_t date);

class SimDevice {
public:
    explicit SimDevice(SimIdentity identity = {}, SimModelFaults faults = {});

    // Starts a new session: forgets what the last one received and empties the receive buffer. Without
    // faulty the session runs without the model's fault triggers.
    void Reset(bool faulty = true);

    // What the running session has received so far (the image is reassembled only by Report).
    const SimSessionReport& Received() const { return report_; }

    // Takes received bytes; returns the reply frames for the frames completed by them, in order.
    std::vector<std::vector<uint8_t>> Feed(const uint8_t* data, std::size_t size);

    // With hold, the device takes one page at a time (a device busy writing its flash): handling stops
    // before each page write, PageWaiting tells so, and Continue writes that page and goes on until the
    // next one, returning the reply frames as Feed does. Reset ends holding.
    void HoldPages(bool hold) { holdPages_ = hold; }
    bool PageWaiting() const { return pageWaiting_; }
    std::vector<std::vector<uint8_t>> Continue();

    // Handles one decoded message; appends its replies.
    void HandleMessage(const SimMessage& msg, std::vector<SimMessage>& replies);

    // True once a fault trigger wants the connection closed.
    bool WantsClose() const { return wantsClose_; }

    // Finishes the session's report: reassembles the image and computes nothing twice.
    SimSessionReport Report() const;

    // The report as one JSON line (no line feed), the device's address first (with --count it tells
    // the devices apart); end tells how the session ended.
    static std::string ToJson(const std::string& address, const SimSessionReport& report,
                              const std::string& end, int64_t session, const std::string& peer,
                              uint16_t localPort);

private:
    bool NoMoreAcknowledgements() const;
    void HandleRead(const SimMessage& msg, std::vector<SimMessage>& replies);
    void HandleWrite(const SimMessage& msg, std::vector<SimMessage>& replies);
    void HandlePage(int64_t page, const SimMessage& msg, std::vector<SimMessage>& replies);
    void Problem(std::string text);
    // Handles the received messages up to a held page (the first one passes with pageGoes); the replies
    // as frames.
    std::vector<std::vector<uint8_t>> HandlePending(bool pageGoes);

    SimIdentity identity_;
    SimModelFaults faults_;
    bool faultsActive_ = true;
    SimSessionReport report_;
    std::map<int64_t, std::vector<uint8_t>> flash_; // page index -> bytes as received
    int64_t nextPage_ = 0;
    bool shortPageSeen_ = false;
    bool wantsClose_ = false;
    RxBuffer rx_; // received bytes not yet consumed by the frame scanner
    RxScanState rxState_ = RxScanState::Searching;
    std::deque<SimMessage> pending_; // decoded, not yet handled (behind a held page)
    bool holdPages_ = false;
    bool pageWaiting_ = false;
};
