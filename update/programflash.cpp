// The flash programming sequence: announce the update, erase, send the bit-reversed image in pages
// of 256 bytes paced by fixed delays, end the update. Runs in the update worker.
#include "update/updatesession.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "link/asp.h"
#include "link/conbase.h"
#include "update/firmwareimage.h"
#include "update/flashpacing.h"
#include "update/updateclock.h"
#include "update/updateview.h"

namespace {

// A lost link's CLOSED record follows the closed socket at once; this only bounds a faulty link.
constexpr auto kClosedRecordWait = std::chrono::seconds(2);

// The page index an object and parameter receive, or -1 for other objects.
int64_t PageIndexOf(int obj, int par) {
    if (obj == 2 && par >= 10)
        return par - 10;
    if (obj == 3)
        return 246 + par;
    if (obj == 4)
        return 502 + par;
    return -1;
}

// How often the default wait for the device's records looks again.
constexpr std::chrono::milliseconds kRecordPoll{5};

// Which write of this update the device answered with an error (ErrorReplyOn).
constexpr int kErrorOnPage = 1;
constexpr int kErrorOnErase = 2;
constexpr int kErrorOnEnd = 3;

const char* ErrorReplyLine(int step) {
    switch (step) {
    case kErrorOnErase:
        return "FIRMWAREUPDATE: Error on erasing page";
    case kErrorOnEnd:
        return "FIRMWAREUPDATE: Error on ending the image";
    default:
        return "FIRMWAREUPDATE: Error on programming page";
    }
}

} // namespace

void UpdateSession::SetUpdateClock(UpdateClock* clock) {
    PaceClock = clock;
}

void UpdateSession::RequestUpdateStop() {
    {
        std::lock_guard guard(PaceLock);
        StopUpdate = true;
    }
    PaceWake.notify_all();
}

void UpdateSession::MarkWrite() {
    LastWrite = PaceClock ? PaceClock->Now() : std::chrono::steady_clock::now();
}

// Each delay counts from the write it follows, so the time spent logging and draining before the
// next write is not added on top of it, and no delay is ever shorter than asked.
void UpdateSession::PauseAfterWrite(std::chrono::milliseconds pause) {
    const UpdateClock::TimePoint until = LastWrite + pause;
    if (PaceClock) {
        PaceClock->SleepUntil(until);
        return;
    }
    // A page's pause is slept through without a lock: a thousand workers pause twenty times a second, and
    // a stop still takes effect before the next page. The longer pauses end at a stop.
    if (pause <= kPageDelay) {
        std::this_thread::sleep_until(until);
        return;
    }
    std::unique_lock lock(PaceLock);
    PaceWake.wait_until(lock, until, [this] { return StopUpdate.load(); });
}

bool UpdateSession::UpdateLinkGone() {
    const int device = UpdateDevice.load();
    return LinkLostSeen.load() || CurrentDevice.load() != device || Con.IsOpen(device) == 0;
}

void UpdateSession::NoteUpdateRecord(const Msg& record) {
    if (!UpdateActive.load() || record.Handle != UpdateDevice.load())
        return;
    if (record.Kind == KIND_CLOSED) {
        LinkLostSeen = true;
        return;
    }
    if (record.Kind == KIND_WOK) {
        const int64_t page = PageIndexOf(record.Obj, record.Par);
        if (page >= 0 && page < PagesSent.load()) {
            // Each page counts once, however often the device acknowledges it.
            std::lock_guard guard(AckLock);
            if (static_cast<size_t>(page) < PageAcked.size() && !PageAcked[static_cast<size_t>(page)]) {
                PageAcked[static_cast<size_t>(page)] = true;
                ++PagesAcknowledged;
                int64_t through = AckedThrough.load();
                while (static_cast<size_t>(through) < PageAcked.size() && PageAcked[static_cast<size_t>(through)])
                    ++through;
                AckedThrough = through;
            }
        } else if (record.Obj == 2 && record.Par == 5 && EndSent.load()) {
            EndAcknowledged = true;
        } else if (record.Obj == 10 && record.Par == 9 && UpdateEndSent.load()) {
            UpdateEndTaken = true;
        }
        return;
    }
    if (record.Kind != KIND_ERROR)
        return;
    if (record.Obj == 10 && record.Par == 9 && UpdateEndSent.load()) {
        UpdateEndTaken = true; // answered, if not taken: the update end needs no acknowledgement
        return;
    }
    // Only the replies that tell this update failed: a page sent so far, the erase, the end of the image.
    const int64_t page = PageIndexOf(record.Obj, record.Par);
    int step = 0;
    if (page >= 0 && page < PagesSent.load())
        step = kErrorOnPage;
    else if (record.Obj == 2 && record.Par == 9 && EraseSent.load())
        step = kErrorOnErase;
    else if (record.Obj == 2 && record.Par == 5 && EndSent.load())
        step = kErrorOnEnd;
    int none = 0;
    if (step != 0 && ErrorReplyOn.compare_exchange_strong(none, step) &&
        step == kErrorOnPage) // the first tells
        ErrorReplyPage = page;
}

std::string UpdateSession::UpdateErrorPlace() const {
    switch (ErrorReplyOn.load()) {
    case kErrorOnPage:
        return "page " + std::to_string(ErrorReplyPage.load() + 1);
    case kErrorOnErase:
        return "the erase";
    case kErrorOnEnd:
        return "the end of the image";
    default:
        return {};
    }
}

std::string UpdateSession::UpdateShortfallText() const {
    const Shortfall why = AckShortfall.load();
    if (why == Shortfall::None)
        return {};
    std::string text = std::to_string(PagesSent.load()) + " of " + std::to_string(PagesInImage.load()) +
                       " pages sent, " + std::to_string(PagesAcknowledged.load()) + " acknowledged by the device";
    if (why == Shortfall::End)
        return text + ", the end of the image not acknowledged";
    const auto silence = std::chrono::round<std::chrono::seconds>(Con.Options().TickPeriod * kRxTimeoutTicks);
    return text + ": no acknowledgement for " + std::to_string(silence.count()) + " s";
}

uint64_t UpdateSession::RecordGeneration() {
    return 0;
}

void UpdateSession::WaitForRecords(uint64_t, std::chrono::milliseconds limit) {
    std::unique_lock lock(PaceLock);
    // A stop ends the wait of a running update at once (a close after it waits its few milliseconds).
    PaceWake.wait_for(lock, std::min(limit, kRecordPoll), [this] { return StopUpdate.load() && UpdateActive.load(); });
}

bool UpdateSession::WaitForDevice(const std::function<bool()>& done) {
    using Clock = std::chrono::steady_clock;
    // As long as the link keeps a device that sends nothing: a device that answers slowly keeps the update
    // going, one that stopped answering ends the wait.
    const auto allowance = std::chrono::duration_cast<Clock::duration>(Con.Options().TickPeriod * kRxTimeoutTicks);
    const auto confirmed = [this] {
        return PagesAcknowledged.load() + (EndAcknowledged.load() ? 1 : 0) + (UpdateEndTaken.load() ? 1 : 0);
    };
    int64_t seenConfirmed = confirmed();
    Clock::time_point lastConfirmed = Clock::now();
    for (;;) {
        const uint64_t seen = RecordGeneration();
        MsgCallback(0);
        if (done())
            return true;
        if (StopUpdate.load() || ErrorReplyOn.load() != 0 || UpdateLinkGone())
            return false;
        const Clock::time_point now = Clock::now();
        if (confirmed() != seenConfirmed) {
            seenConfirmed = confirmed();
            lastConfirmed = now;
        }
        if (now - lastConfirmed >= allowance)
            return false;
        WaitForRecords(seen, std::chrono::ceil<std::chrono::milliseconds>(lastConfirmed + allowance - now));
    }
}

bool UpdateSession::WaitForAcknowledgements(int64_t pages, bool end) {
    if (WaitForDevice([&] { return AckedThrough.load() >= pages && (!end || EndAcknowledged.load()); }))
        return true;
    if (!StopUpdate.load() && ErrorReplyOn.load() == 0 && !UpdateLinkGone())
        AckShortfall = AckedThrough.load() >= pages ? Shortfall::End : Shortfall::Pages;
    return false;
}

void UpdateSession::TakeClosedRecord() {
    const int device = UpdateDevice.load();
    // The link closes the socket first and queues CLOSED right after: an open device has none coming.
    if (device == 0 || Con.IsOpen(device) != 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kClosedRecordWait;
    for (;;) {
        MsgCallback(0);
        if (LinkLostSeen.load() || std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the link thread is about to queue it
    }
}

int UpdateSession::SetParameter(int obj, int par, int32_t value) {
    const int result = Con.WriteI32(CurrentDevice.load(), obj, par, 1, &value);
    MarkWrite();
    return result;
}

int UpdateSession::EraseFlash() {
    if (StopUpdate.load() || UpdateLinkGone())
        return -1;
    EraseSent = true;
    if (SetParameter(2, 9, 0) < 0)
        return -1;
    LogLine("Starting Erasing Flash");
    PauseAfterWrite(kEraseDelay);
    return 0;
}

int UpdateSession::WritePage(int32_t page, const uint8_t* data, int count) {
    const std::optional<PageAddress> address = PageAddressOf(page);
    if (!address || count < 1 || count > static_cast<int>(kPageSize))
        return -1;
    if (StopUpdate.load() || UpdateLinkGone())
        return -1;
    LogLine("Q7Config::WritePage: page= " + std::to_string(page));
    PagesSent = page + 1;
    const int result = Con.WriteI8(CurrentDevice.load(), address->Obj, address->Par, count, data);
    MarkWrite();
    if (result < 0)
        return -1;
    PauseAfterWrite(kPageDelay);
    return 0;
}

int UpdateSession::ProgramFlash(const uint8_t* data, int32_t length, const std::string& name, int32_t version,
                                int32_t revision) {
    if (length <= 0 || length > kMaxImageBytes)
        return -1;
    // Replies that came before this update are dispatched first and do not count for it.
    MsgCallback(0);
    UpdateDevice = CurrentDevice.load();
    PagesSent = 0;
    PagesAcknowledged = 0;
    PagesInImage = PageCount(length);
    AckedThrough = 0;
    EndAcknowledged = false;
    AckShortfall = Shortfall::None;
    {
        std::lock_guard guard(AckLock);
        PageAcked.assign(static_cast<size_t>(PageCount(length)), false);
    }
    EraseSent = false;
    EndSent = false;
    UpdateEndSent = false;
    UpdateEndTaken = false;
    LinkLostSeen = false;
    ErrorReplyOn = 0;
    ErrorReplyPage = -1;
    UpdateActive = true;
    const int result = RunSequence(data, length, name, version, revision);
    if (result != 0)
        TakeClosedRecord();
    UpdateActive = false;
    return result;
}

int UpdateSession::RunSequence(const uint8_t* data, int32_t length, const std::string& name, int32_t version,
                               int32_t revision) {
    const std::vector<uint8_t> image = ConvertImage(data, static_cast<size_t>(length));
    const std::array<int32_t, 4> nameBlock = FirmwareNameBlock(name);
    const int32_t date = static_cast<int32_t>(DateValueNowUtc());

    // Every write checks that the device is still there; once it is gone nothing more is sent.
    auto lost = [this] {
        if (StopUpdate.load()) {
            LogLine("FIRMWAREUPDATE: Update stopped");
            return true;
        }
        if (!UpdateLinkGone())
            return false;
        LogLine("FIRMWAREUPDATE: Link lost");
        return true;
    };
    auto set = [&](int obj, int par, int32_t value, std::chrono::milliseconds delay) {
        if (lost() || SetParameter(obj, par, value) < 0)
            return false;
        if (delay > std::chrono::milliseconds(0))
            PauseAfterWrite(delay);
        return true;
    };

    // The update start and the date follow each other without a pause: they leave in one frame.
    bool announced;
    {
        LinkBurst burst(Con, CurrentDevice.load());
        announced = set(10, 9, 1, {}) && set(2, 6, date, {});
    }
    if (!announced)
        return -1;
    PauseAfterWrite(kAnnounceDelay);
    if (!set(2, 7, version, kAnnounceDelay) || !set(2, 8, revision, kAnnounceDelay))
        return -1;
    if (lost() || Con.WriteI32(CurrentDevice.load(), 2, 4, 4, nameBlock.data()) < 0)
        return -1;
    MarkWrite();
    PauseAfterWrite(kNameDelay);

    if (EraseFlash() != 0) {
        lost();
        LogLine("FIRMWAREUPDATE: Error on erasing page");
        return -1;
    }
    // The erase's reply has had its pause: a device that could not erase gets no page.
    MsgCallback(0);
    if (ErrorReplyOn.load() != 0) {
        LogLine(ErrorReplyLine(ErrorReplyOn.load()));
        return -1;
    }

    // A wait for acknowledgements that ended without them: why, in the log.
    auto unconfirmed = [&] {
        if (ErrorReplyOn.load() != 0)
            LogLine(ErrorReplyLine(ErrorReplyOn.load()));
        else if (!lost())
            LogLine("FIRMWAREUPDATE: update failed: " + UpdateShortfallText());
        return -1;
    };

    int32_t page = 0;
    for (int32_t offset = 0; offset < length; offset += static_cast<int32_t>(kPageSize), ++page) {
        const int n = std::min<int32_t>(static_cast<int32_t>(kPageSize), length - offset);
        // Never ahead of the device: page k goes out once page k - kAckWindow has been acknowledged.
        if (page >= kAckWindow && !WaitForAcknowledgements(page - kAckWindow + 1, false))
            return unconfirmed();
        if (WritePage(page, image.data() + offset, n) != 0) {
            lost(); // says why
            LogLine("FIRMWAREUPDATE: Error on programming page");
            return -1;
        }
        View.PageWritten(page + 1, static_cast<int32_t>(PageCount(length)));
        MsgCallback(0);
        if (ErrorReplyOn.load() != 0) {
            LogLine(ErrorReplyLine(ErrorReplyOn.load()));
            return -1;
        }
    }

    // The end of the image only once the device has confirmed every page, and the update end only once it
    // has confirmed the end of the image (a prompt device has, within the pauses): the update end needs no
    // acknowledgement, as a device may restart at once.
    if (!WaitForAcknowledgements(page, false))
        return unconfirmed();
    EndSent = true;
    if (!set(2, 5, 0, kEndDelay))
        return -1;
    if (!WaitForAcknowledgements(page, true))
        return unconfirmed();
    UpdateEndSent = true;
    if (!set(10, 9, 0, {}))
        return -1;
    // A device may restart at once and never answer the update end; one that answers it has read everything,
    // so the close that follows leaves nothing unread in it that a reset could throw away. A link that ends
    // after the last write does not fail the update.
    WaitForDevice([this] { return UpdateEndTaken.load(); });
    MsgCallback(0);
    if (ErrorReplyOn.load() != 0) {
        LogLine(ErrorReplyLine(ErrorReplyOn.load()));
        return -1;
    }
    return 0;
}
