// CliDevice: one device's identification and update, reported as text, live lines or JSON events.
#include "tools/cli/clidevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/log.h"
#include "link/asp.h"
#include "link/conbase.h"
#include "tools/cli/clioutput.h"
#include "tools/cli/jobslots.h"
#include "tools/cli/jsonline.h"
#include "tools/cli/linkwaiter.h"
#include "tools/cli/refusaltext.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"
#include "update/kennunglist.h"
#include "update/updatestart.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The programming sequence's fixed pauses: 1 ms after each of date, version and revision, 10 ms
// after the name, 4000 ms for the erase, 50 ms after every page, 500 ms before the update end.
constexpr milliseconds kBeforePages{3 * 1 + 10 + 4000};
constexpr milliseconds kPerPage{50};
constexpr milliseconds kAfterPages{500};

constexpr milliseconds kDrainWait{100};
// How often a device waiting for its turn (--jobs) takes the keep-alive replies and looks whether
// its link is still there.
constexpr milliseconds kTurnPoll{200};

// The pause before attempt n + 1: 1 s, 2 s, 4 s, then 8 s each time.
milliseconds RetryPause(int attemptsSoFar) {
    return milliseconds(1000 << std::min(std::max(attemptsSoFar - 1, 0), 3));
}

// What is worth another attempt: the link, not the device's or the files' answer. The rules (OEM,
// serial), the configuration and the image give the same refusal every time.
bool Retryable(int code) {
    return code == kExitNoConnection || code == kExitUpdateFailed;
}
// After an update: how long the last writes may take to reach the socket before the connection closes.
constexpr milliseconds kLingerLimit{2000};

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// The pages 0..pages-1 as runs per object, first to last: each run's object, its first and last
// parameter and its count of pages.
template <typename Visit> void ForEachPageRun(int64_t pages, Visit visit) {
    int64_t first = 0;
    while (first < pages) {
        const std::optional<PageAddress> a = PageAddressOf(first);
        if (!a)
            break;
        // The pages of one object: up to the end of its parameters or of the image.
        const int64_t objectEnd = a->Obj == 2 ? 246 : a->Obj == 3 ? 502 : kMaxPages;
        const int64_t last = std::min(pages, objectEnd) - 1;
        const std::optional<PageAddress> b = PageAddressOf(last);
        visit(a->Obj, a->Par, b->Par, last - first + 1);
        first = last + 1;
    }
}

// The objects that receive the pages, as ranges per object: (2,10)-(2,25).
std::string PageObjects(int64_t pages) {
    std::string text;
    ForEachPageRun(pages, [&](int obj, int firstPar, int lastPar, int64_t count) {
        if (!text.empty())
            text += ", ";
        text += "(" + std::to_string(obj) + "," + std::to_string(firstPar) + ")";
        if (count > 1)
            text += "-(" + std::to_string(obj) + "," + std::to_string(lastPar) + ")";
    });
    return text;
}

nlohmann::ordered_json PageObjectsJson(int64_t pages) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    ForEachPageRun(pages, [&](int obj, int firstPar, int lastPar, int64_t count) {
        runs.push_back({{"obj", obj}, {"firstPar", firstPar}, {"lastPar", lastPar}, {"pages", count}});
    });
    return runs;
}

int Percent(int64_t written, int64_t pages) {
    return pages > 0 ? static_cast<int>(written * 100 / pages) : 0;
}

std::string DateText(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", value & 0xFFFF, (value >> 16) & 0xFF, value >> 24);
    return text;
}

// Why a connection could not be made, after "cannot connect to H:P: ".
std::string ConnectProblemText(SockConnectProblem problem, const std::string& host) {
    switch (problem) {
    case SockConnectProblem::None:
    case SockConnectProblem::Pending:
        break;
    case SockConnectProblem::BadAddress:
        return "no host or port";
    case SockConnectProblem::NotResolved:
        return "the name \"" + host + "\" is not resolved to an IPv4 address";
    case SockConnectProblem::Refused:
        return "refused (nothing accepts connections on that port)";
    case SockConnectProblem::NoRoute:
        return "no route to the host";
    case SockConnectProblem::TimedOut:
        return "timed out (no answer to the connection request)";
    case SockConnectProblem::Failed:
        break;
    }
    return "the connection failed";
}

} // namespace

CliDevice::CliDevice(ConBase& con, LinkWaiter& waiter, CliOutput& out, const DeviceTarget& target,
                     const RunSettings& settings, int slot, JobSlots* slots)
    : UpdateSession(con, *this), Waiter(waiter), Out(out), Device(target), Settings(settings), Slot(slot),
      Slots(slots) {
    Rec.Address = Device.Label;
    // Several sessions share the one link manager: each takes only its own device's records.
    SetOwnHandleOnly(true);
    AdminMode = Settings.Admin;
    CheckOnly = Settings.DryRun;
}

CliDevice::~CliDevice() = default;

void CliDevice::Interrupt(int signal) {
    InterruptedCode = ExitCodeForSignal(signal);
    Interrupted = true;
    RequestUpdateStop();
    Waiter.WakeAll();
    if (Slots != nullptr)
        Slots->WakeAll();
}

DeviceIdentity CliDevice::Identity() const {
    std::lock_guard hold(RecordLock);
    return Rec.Identity;
}

DeviceRecord CliDevice::Record() const {
    std::lock_guard hold(RecordLock);
    return Rec;
}

void CliDevice::Say(const std::string& text) {
    Out.Line(Device.Label + ": " + text);
}

// ---- UpdateView ----

void CliDevice::SetDisplayText(Display which, const std::string&) {
    unsigned bit = 0;
    switch (which) {
    case Display::VERSION:
        bit = kVersion;
        break;
    case Display::DSPMODSERIAL:
        bit = kSerial;
        break;
    case Display::MODE:
        bit = kMode;
        break;
    case Display::DSPMODNAME:
        bit = kName;
        break;
    case Display::OEMUSERNAME:
        bit = kOemName;
        break;
    case Display::OEMDEVICENAME:
        bit = kDeviceName;
        break;
    case Display::OEMLIBNAME:
        bit = kLibraryName;
        break;
    }
    ReportedMask |= bit;
}

void CliDevice::SetKennung(int) {
    ReportedMask |= kKennung;
}

void CliDevice::SetOnline(bool online) {
    if (online)
        ReportedMask |= kOnline;
    else
        ReportedMask = 0; // CLOSED: what this connection reported is gone with it
}

void CliDevice::ShowTimed(const std::string& text, int) {
    LastMessage = text;
    Say(text);
}

void CliDevice::InfoBox(const std::string& text) {
    LastMessage = text;
    Say(text);
}

void CliDevice::Progress(const std::string& caption, int, int) {
    {
        std::lock_guard hold(ProgressLock);
        if (UpdateRunning)
            return; // the wait loop's activity steps; the pages tell more
        UpdateRunning = true;
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(ImagePath, ec);
        PagesTotal = ec ? 0 : PageCount(static_cast<int64_t>(bytes));
        PagesWritten = 0;
        LastReported = 0;
        ExpectedEnd = Clock::now() + kBeforePages + PagesTotal * kPerPage + kAfterPages;
    }
    const double left = SecondsLeft();
    Out.Event(JsonLine("started")
                  .Text("device", Device.Label)
                  .Int("pages", PagesTotal)
                  .Number("secondsLeft", left)
                  .Str());
    Say(caption + " " + std::to_string(PagesTotal) + " pages, erasing the flash first, about " +
        SecondsText(left));
    ReportProgress(false);
}

void CliDevice::ProgressEnd() {
    Out.Live(Slot, CliOutput::LiveState::Active, "");
    std::lock_guard hold(ProgressLock);
    UpdateRunning = false;
}

void CliDevice::Repaint() {
    if (Out.Terminal())
        ReportProgress(false);
}

void CliDevice::PageWritten(int written, int pages) {
    {
        std::lock_guard hold(ProgressLock);
        PagesWritten = written;
        PagesTotal = pages;
        // After a page and its pause: the remaining pages, each with its pause, then the end.
        ExpectedEnd = Clock::now() + (pages - written) * kPerPage + kAfterPages;
    }
    ReportProgress(written == pages);
}

double CliDevice::SecondsLeft() const {
    std::lock_guard hold(ProgressLock);
    const auto left = std::chrono::duration<double>(ExpectedEnd - Clock::now()).count();
    return std::max(0.0, left);
}

std::string CliDevice::ProgressText(int64_t written, int64_t pages, double secondsLeft) const {
    char text[160];
    std::snprintf(text, sizeof text, "page %lld/%lld (%d%%), %s left", static_cast<long long>(written),
                  static_cast<long long>(pages), Percent(written, pages), SecondsText(secondsLeft).c_str());
    return text;
}

void CliDevice::ReportProgress(bool force) {
    int64_t written, pages;
    bool due;
    {
        std::lock_guard hold(ProgressLock);
        written = PagesWritten;
        pages = PagesTotal;
        due = written > LastReported && (force || written - LastReported >= Settings.ProgressEvery);
        if (due)
            LastReported = written;
    }
    const double left = SecondsLeft();
    if (Out.Terminal()) {
        // A bar of 20 steps, the pages, the share and the time left.
        const int64_t filled = pages > 0 ? written * 20 / pages : 0;
        const std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                                std::string(static_cast<size_t>(20 - filled), '.') + "]";
        Out.Live(Slot, CliOutput::LiveState::Active,
                 Device.Label + " " + bar + " " + ProgressText(written, pages, left) +
                     (written == 0 ? " (erasing)" : ""));
        return;
    }
    if (!due)
        return;
    if (Out.Json()) {
        Out.Event(JsonLine("progress")
                      .Text("device", Device.Label)
                      .Int("pages", written)
                      .Int("total", pages)
                      .Int("percent", Percent(written, pages))
                      .Number("secondsLeft", left)
                      .Str());
    } else {
        Say(ProgressText(written, pages, left));
    }
}

// ---- the run ----

bool CliDevice::Connect() {
    Out.Live(Slot, CliOutput::LiveState::Active, "");
    SockConnectProblem problem = SockConnectProblem::Failed;
    const int handle = OpenDevice(Device.Host, Device.Port, &problem);
    LastHandle = handle;
    if (handle == 0) {
        Note = "cannot connect to " + Device.Label + ": " + ConnectProblemText(problem, Device.Host);
        return false;
    }
    if (!Settings.Quiet) {
        Out.Event(JsonLine("connected").Text("device", Device.Label).Str());
        Say("connected");
    }
    RequestIdentification();

    // The window shows the answers as they come; here the rules wait for all nine, as the operator
    // would, but no longer than the time-out.
    const auto deadline = Clock::now() + Settings.Timeout;
    for (;;) {
        const uint64_t seen = Waiter.Generation(handle);
        MsgCallback(handle);
        if (ReportedMask.load() == kAll || CurrentDevice.load() == 0 || Interrupted.load())
            break;
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        Waiter.WaitAfter(
            handle, seen,
            std::min(kDrainWait, std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1)));
    }
    if (Online.load() != 0)
        return true;
    if (CurrentDevice.load() != 0) {
        Note = "no answer from " + Device.Label + " within " +
               SecondsText(std::chrono::duration<double>(Settings.Timeout).count());
        if (problem == SockConnectProblem::Pending && Con.IsOpen(handle) != 0)
            Note += " (it has not accepted the connection either)";
        return false;
    }
    switch (ClosedReason.load()) {
    case CLOSED_SILENT: {
        // The link closes a device silent for 1000 of its ticks.
        const auto silence =
            std::chrono::round<std::chrono::seconds>(Con.Options().TickPeriod * kRxTimeoutTicks);
        Note = Device.Label + " sent nothing for " + std::to_string(silence.count()) +
               " s; the link closes a silent device";
    } break;
    case CLOSED_BY_PEER:
        Note = ReportedMask.load() == 0 ? Device.Label + " closed the connection at once, before any answer"
                                        : Device.Label + " closed the connection before it answered";
        break;
    case CLOSED_ON_ERROR:
        Note = problem == SockConnectProblem::Pending
                   ? "cannot connect to " + Device.Label + ": the connection request timed out or failed"
                   : "the link to " + Device.Label + " failed before the device answered";
        break;
    default:
        Note = "the link to " + Device.Label + " closed before the device answered";
        break;
    }
    return false;
}

void CliDevice::Disconnect(bool afterWrites) {
    // The last writes may still wait in the link's send queue; once they are handed to the socket, the
    // close (an ordinary one) still delivers them.
    const int handle = CurrentDevice.load();
    if (afterWrites && handle != 0)
        Con.WaitSent(handle, kLingerLimit);
    if (CurrentDevice.load() != 0)
        CloseDevice();
    MsgCallback(0); // takes the CLOSED record, which removes the device from the link manager
}

void CliDevice::ReportIdentity(bool full) {
    const unsigned mask = ReportedMask.load();
    auto value = [&](unsigned bit, const std::string& text) {
        return (mask & bit) ? text : std::string("-");
    };
    char serial[16], mode[16];
    std::snprintf(serial, sizeof serial, "%.8d", Serial);
    std::snprintf(mode, sizeof mode, "%Xh", static_cast<unsigned>(Mode));
    const std::string version = VersionText();
    const char* listText = KennungText(Kennung);
    std::string kennung = std::to_string(Kennung);
    if (listText != nullptr)
        kennung = listText;
    else
        kennung += " (not in the list)";

    if (Out.Json()) {
        JsonLine j("identified");
        j.Text("device", Device.Label).Bool("online", Online.load() != 0);
        auto text = [&](const char* key, unsigned bit, const std::string& t) {
            if (mask & bit)
                j.Text(key, t);
            else
                j.Null(key);
        };
        if (mask & kKennung) {
            j.Int("kennung", Kennung);
            if (listText != nullptr)
                j.Text("kennungText", listText);
            else
                j.Null("kennungText");
        } else {
            j.Null("kennung").Null("kennungText");
        }
        text("version", kVersion, version);
        if (mask & kSerial)
            j.Int("serial", Serial).Text("serialText", serial);
        else
            j.Null("serial").Null("serialText");
        text("mode", kMode, mode);
        text("name", kName, PrintableDeviceText(Name));
        text("oemName", kOemName, PrintableDeviceText(OemName));
        text("deviceName", kDeviceName, PrintableDeviceText(DeviceName));
        text("libraryName", kLibraryName, PrintableDeviceText(LibraryName));
        Out.Event(j.Str());
        return;
    }
    if (!full) {
        Say("ONLINE, Kennung " + value(kKennung, kennung) + ", " + value(kVersion, version) +
            ", Seriennummer " + value(kSerial, serial));
        return;
    }
    // One block, so that the blocks of several devices do not interleave.
    Say("ONLINE\n  Kennung:        " + value(kKennung, kennung) +
        "\n  Version:        " + value(kVersion, version) + "\n  Seriennummer:   " + value(kSerial, serial) +
        "\n  Mode:           " + value(kMode, mode) +
        "\n  ManName:        " + value(kName, PrintableDeviceText(Name)) +
        "\n  UserName:       " + value(kOemName, PrintableDeviceText(OemName)) +
        "\n  OemDeviceName:  " + value(kDeviceName, PrintableDeviceText(DeviceName)) +
        "\n  LibraryName:    " + value(kLibraryName, PrintableDeviceText(LibraryName)));
}

std::string CliDevice::VersionText() const {
    return "HWV=" + std::to_string(VersionHigh) + "." + std::to_string(VersionLow);
}

void CliDevice::KeepIdentity() {
    const unsigned mask = ReportedMask.load();
    DeviceIdentity id;
    if (mask & kKennung)
        id.Kennung = Kennung;
    if (mask & kSerial)
        id.Serial = Serial;
    if (mask & kVersion)
        id.Version = VersionText();
    auto text = [&](unsigned bit, const char* bytes) {
        return (mask & bit) ? PrintableDeviceText(bytes) : std::string();
    };
    id.Name = text(kName, Name);
    id.OemName = text(kOemName, OemName);
    id.DeviceName = text(kDeviceName, DeviceName);
    id.LibraryName = text(kLibraryName, LibraryName);
    std::lock_guard hold(RecordLock);
    Rec.Identity = id;
}

bool CliDevice::Probe() {
    const bool answered = Connect();
    if (answered)
        KeepIdentity();
    Disconnect();
    return answered;
}

int CliDevice::RunInfo() {
    {
        std::lock_guard hold(RecordLock);
        Rec.Start = std::chrono::system_clock::now();
        Rec.Attempts = 1;
    }
    const bool answered = Connect();
    if (answered) {
        ReportIdentity(true);
        KeepIdentity();
    }
    Disconnect();
    if (answered)
        return Finish(kExitOk, "ok", "ONLINE", false); // the block above said it
    if (Interrupted.load())
        return Finish(InterruptedCode.load(), "interrupted", "interrupted before the device answered");
    return Finish(kExitNoConnection, "no-connection", Note);
}

void CliDevice::ReportPlan(const FwConfig& config) {
    std::error_code ec;
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(ImagePath, ec));
    const int64_t pages = PageCount(bytes);
    const std::string name = FirmwareName(ImagePath);
    const uint32_t date = DateValueNowUtc();
    const double seconds =
        std::chrono::duration<double>(kBeforePages + pages * kPerPage + kAfterPages).count();
    if (Out.Json()) {
        Out.Event(JsonLine("plan")
                      .Text("device", Device.Label)
                      .Text("image", ImagePath)
                      .Int("bytes", bytes)
                      .Int("pages", pages)
                      .Text("name", PrintableDeviceText(name.substr(0, 16)))
                      .Int("version", config.FwVersion)
                      .Int("revision", config.FwRevision)
                      .Value("pageObjects", PageObjectsJson(pages))
                      .Number("seconds", seconds)
                      .Str());
        return;
    }
    // One block, so that the plans of several devices do not interleave.
    std::string block = "dry run: every check passed; nothing was written. It would write:";
    auto row = [&](const std::string& object, const std::string& value, const std::string& what) {
        std::string line = "  " + object;
        line.resize(std::max<size_t>(line.size() + 1, 10), ' ');
        line += value;
        line.resize(std::max<size_t>(line.size() + 1, 24), ' ');
        block += "\n" + line + what;
    };
    row("(10,9)", "1", "update start");
    row("(2,6)", std::to_string(date), "date " + DateText(date) + " (the day of the update)");
    row("(2,7)", std::to_string(config.FwVersion), "firmware version");
    row("(2,8)", std::to_string(config.FwRevision), "firmware revision");
    row("(2,4)", "\"" + PrintableDeviceText(name.substr(0, 16)) + "\"", "firmware name");
    row("(2,9)", "0", "erase the flash");
    block += "\n  " + PageObjects(pages) + "  " + std::to_string(pages) + " pages, the " +
             std::to_string(bytes) + " bytes of " + ImagePath;
    row("(2,5)", "0", "end of the image");
    row("(10,9)", "0", "update end");
    block += "\n  about " + SecondsText(seconds);
    Say(block);
}

int CliDevice::RunUpdate() {
    {
        std::lock_guard hold(RecordLock);
        Rec.Start = std::chrono::system_clock::now();
        Rec.Config = Device.Config;
    }
    FwConfig config;
    // A file that cannot be read is reported before any device is touched.
    if (config.Load(Device.Config) != 0) {
        LastMessage = "Error on reading config file";
        return Finish(kExitBadConfig, "bad-config", ConfigErrorText(Device.Config));
    }
    ImagePath = ImagePathFor(Device.Config, config.Filename);
    {
        std::lock_guard hold(RecordLock);
        Rec.Image = ImagePath;
        Rec.Checksum = config.Checksum;
    }
    const int attempts = Settings.Retries + 1;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard hold(RecordLock);
            Rec.Attempts = attempt;
        }
        if (attempts > 1)
            LogLine("fwupdate-cli: " + Device.Label + ": attempt " + std::to_string(attempt) + " of " +
                    std::to_string(attempts));
        const Attempt result = UpdateOnce(config);
        if (!Retryable(result.Code) || attempt >= attempts || Interrupted.load())
            return Finish(result.Code, result.Result, result.Text);
        const milliseconds pause = RetryPause(attempt);
        ReportRetry(attempt + 1, result, pause);
        if (!PauseBeforeRetry(pause))
            return Finish(InterruptedCode.load(), "interrupted",
                          "interrupted before attempt " + std::to_string(attempt + 1) + "; attempt " +
                              std::to_string(attempt) + ": " + result.Text);
    }
}

void CliDevice::ReportRetry(int next, const Attempt& failed, milliseconds pause) {
    const int attempts = Settings.Retries + 1;
    const double seconds = std::chrono::duration<double>(pause).count();
    LogLine("fwupdate-cli: " + Device.Label + ": attempt " + std::to_string(next - 1) + " failed (" +
            failed.Text + "); attempt " + std::to_string(next) + " of " + std::to_string(attempts) + " in " +
            std::to_string(pause.count()) + " ms");
    Out.Event(JsonLine("retry")
                  .Text("device", Device.Label)
                  .Int("attempt", next)
                  .Int("attempts", attempts)
                  .Text("reason", failed.Result)
                  .Int("code", failed.Code)
                  .Text("detail", failed.Text)
                  .Number("pause", seconds)
                  .Str());
    Say(failed.Text + "; trying again in " + SecondsText(seconds) + " (attempt " + std::to_string(next) +
        " of " + std::to_string(attempts) + ")");
    Out.Live(Slot, CliOutput::LiveState::Active,
             Device.Label + " attempt " + std::to_string(next) + " of " + std::to_string(attempts) + " in " +
                 SecondsText(seconds));
}

bool CliDevice::PauseBeforeRetry(milliseconds pause) {
    const auto until = Clock::now() + pause;
    while (!Interrupted.load()) {
        const auto now = Clock::now();
        if (now >= until)
            return true;
        // No device is open now: only Interrupt (WakeAll) wakes this wait early.
        Waiter.WaitAfter(0, Waiter.Generation(0),
                         std::min(kDrainWait, std::chrono::ceil<milliseconds>(until - now)));
    }
    return false;
}

void CliDevice::ForgetLastDevice() {
    // Once its CLOSED record has been taken, the device of the last connection is no longer
    // registered. Were it still, the link would take the address for a known device and reconnect it
    // on the fixed reconnect port 2101 instead of HOST:PORT: behind a jig forwarding 2000, 2001, ...
    // that is another device or none.
    const int last = std::exchange(LastHandle, 0);
    if (last == 0 || Con.Remove(last) != -2)
        return;
    LogLine("fwupdate-cli: " + Device.Label + ": device " + std::to_string(last) + " still open, closed");
    Con.Close(last);
    MsgCallback(0); // its CLOSED record
    Con.Remove(last);
}

bool CliDevice::WaitForTurn(JobSlot& turn) {
    bool said = false;
    while (!Slots->TryAcquireFor(said ? kTurnPoll : milliseconds(0))) {
        if (Interrupted.load())
            return false;
        if (!said) {
            said = true;
            Out.Event(JsonLine("waiting").Text("device", Device.Label).Int("jobs", Settings.Jobs).Str());
            Say("waiting for its turn (--jobs " + std::to_string(Settings.Jobs) +
                ": that many devices are programmed at once)");
            Out.Live(Slot, CliOutput::LiveState::Waiting, Device.Label + " waiting for its turn");
        }
        // The keep-alive replies, and a link that closes meanwhile: the update start then finds no
        // connection.
        MsgCallback(CurrentDevice.load());
    }
    turn.Hold(*Slots);
    return true;
}

CliDevice::Attempt CliDevice::UpdateOnce(FwConfig& config) {
    ForgetLastDevice();
    LastMessage.clear();
    Note.clear();
    Online = 0; // what an earlier connection answered counts no more
    ReportedMask = 0;
    {
        std::lock_guard hold(ProgressLock);
        PagesWritten = 0;
        PagesTotal = 0;
    }

    const bool answered = Connect();
    if (answered) {
        ReportIdentity(false);
        KeepIdentity();
    }
    if (Interrupted.load()) {
        Disconnect();
        return {InterruptedCode.load(), "interrupted",
                "interrupted before the update began; nothing was written"};
    }
    // With --jobs the rules are checked first (nothing is sent), so that a device they refuse does not
    // wait its turn to be told; then the device waits, its connection kept alive meanwhile.
    JobSlot turn;
    std::optional<UpdateOutcome> refused;
    if (answered && Slots != nullptr && !Settings.DryRun) {
        CheckOnly = true;
        const UpdateOutcome checked = StartUpdateWith(config, Device.Config);
        CheckOnly = false;
        if (checked != UpdateOutcome::Checked)
            refused = checked;
        else if (!WaitForTurn(turn)) {
            Disconnect();
            return {InterruptedCode.load(), "interrupted",
                    "interrupted while waiting for its turn; nothing was written"};
        }
    }
    const UpdateOutcome outcome = refused ? *refused : StartUpdateWith(config, Device.Config);
    const bool linkGone = CurrentDevice.load() == 0;
    // What the device reported decides the refusal's detail; closing the connection forgets it.
    const std::string reportedKennung =
        KennungReported.load() ? "reports OEM id " + std::to_string(Kennung) : "has not reported its OEM id";
    const std::string reportedSerial = SerialReported.load() ? "reports serial " + std::to_string(Serial)
                                                             : "has not reported its serial number";
    Disconnect(outcome == UpdateOutcome::Ok || outcome == UpdateOutcome::Error);

    int64_t written, pages;
    {
        std::lock_guard hold(ProgressLock);
        written = PagesWritten;
        pages = PagesTotal;
    }
    const std::string pagesText = std::to_string(written) + " of " + std::to_string(pages) + " pages";
    // The device acknowledges each page it takes (WOK); the count says how far it got for certain.
    const std::string sentText =
        pagesText + " sent, " + std::to_string(UpdatePagesAcknowledged()) + " acknowledged by the device";
    const std::string logText = Settings.LogPath.empty() ? "see the log" : "see the log " + Settings.LogPath;
    switch (outcome) {
    case UpdateOutcome::Ok:
        return Attempt{kExitOk, "ok", "updated, " + pagesText + " written"};
    case UpdateOutcome::Checked:
        ReportPlan(config);
        return Attempt{kExitOk, "dry-run", "dry run OK, nothing written"};
    case UpdateOutcome::Error:
    case UpdateOutcome::WorkerFailed:
        if (Interrupted.load())
            return Attempt{InterruptedCode.load(), "interrupted",
                           "interrupted: " + sentText +
                               ": the device's flash is incomplete; update it again"};
        if (outcome == UpdateOutcome::WorkerFailed)
            return Attempt{kExitUpdateFailed, "failed",
                           "update failed: the update worker could not be started"};
        return Attempt{kExitUpdateFailed, "failed",
                       "update failed: " + sentText +
                           (linkGone ? ": link lost" : ": the device reported an error (" + logText + ")")};
    case UpdateOutcome::BadConfig:
        return Attempt{kExitBadConfig, "bad-config", ConfigErrorText(Device.Config)};
    case UpdateOutcome::NoConnection:
        return Attempt{kExitNoConnection, "no-connection", Note.empty() ? "No connection" : Note};
    case UpdateOutcome::OemRefused:
        return Attempt{kExitOemRule, "oem-rule",
                       "refused by the OEM rule: the device " + reportedKennung +
                           ", this tool updates OEM id " + std::to_string(OemNumber) +
                           " (--admin lifts the rule)"};
    case UpdateOutcome::SerialRefused:
        return Attempt{kExitSerialRule, "serial-rule",
                       "refused by the serial rule: the configuration is bound to serial " +
                           std::to_string(config.Seriennummer) + ", the device " + reportedSerial};
    case UpdateOutcome::ImageNotFound: {
        std::vector<uint8_t> bytes;
        std::string why;
        if (ReadImage(ImagePath, bytes, &why) == ImageRead::NotFound)
            return Attempt{kExitImageNotFound, "image-not-found", ImageNotFoundText(ImagePath)};
        if (why.empty())
            why = "it could not be read when the update started";
        return Attempt{kExitImageNotFound, "image-not-found", ImageUnreadableText(ImagePath, why)};
    }
    case UpdateOutcome::InvalidImage:
        return Attempt{kExitInvalidImage, "invalid-binary", ChecksumDiffersText(ImagePath)};
    case UpdateOutcome::ImageTooLarge:
        return Attempt{kExitInvalidImage, "image-too-large", ImageTooLargeText(ImagePath)};
    }
    return {kExitInternal, "internal", "unexpected outcome"};
}

int CliDevice::Finish(int code, const std::string& result, const std::string& text, bool say) {
    {
        std::lock_guard hold(RecordLock);
        Rec.Result = result;
        Rec.Code = code;
        Rec.End = std::chrono::system_clock::now();
    }
    ExitCodeOf = code;
    Summary = text;
    Out.Live(Slot, code == kExitOk ? CliOutput::LiveState::Done : CliOutput::LiveState::Failed,
             code == kExitOk ? "" : Device.Label + ": " + text + " (exit " + std::to_string(code) + ")");
    const bool refused = code >= kExitBadConfig && code <= kExitInvalidImage;
    if (Out.Json()) {
        if (refused)
            Out.Event(JsonLine("refused")
                          .Text("device", Device.Label)
                          .Text("reason", result)
                          .Text("message", LastMessage.empty() ? text : LastMessage)
                          .Text("detail", text)
                          .Str());
        Out.Event(JsonLine("done")
                      .Text("device", Device.Label)
                      .Text("result", result)
                      .Int("code", code)
                      .Text("message", LastMessage)
                      .Text("detail", text)
                      .Str());
    } else if (say) {
        Say(text + (code == kExitOk ? "" : " (exit " + std::to_string(code) + ")"));
    }
    return code;
}

std::string CliDevice::Result() const {
    std::lock_guard hold(RecordLock);
    return Rec.Result.empty() ? "internal" : Rec.Result;
}

std::string CliDevice::Outcome() const {
    return Device.Label + ": " + Summary + " (exit " + std::to_string(ExitCodeOf.load()) + ")";
}
