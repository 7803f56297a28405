// CliOutput: where fwupdate-cli writes, from any thread: plain lines, or on a terminal the same lines
// with a live progress line per device kept below them, or JSON Lines events.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform.h"

class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };
    // Where a device stands, for the live lines and their summary. Refused: a rule refused the update
    // (OEM id, serial number), which is no failure of the device or the link.
    enum class LiveState { Waiting, Active, Failed, Refused, Done };
    // The terminal's size, asked at each redraw.
    using SizeSource = std::function<TerminalSize()>;
    // The time, for the redraw's rate.
    using ClockSource = std::function<std::chrono::steady_clock::time_point()>;

    // Rows kept free below the live lines (the cursor's) and above them (the last plain line).
    static constexpr int kMarginRows = 2;
    // Live lines are redrawn at most this often, so that a long run over a slow link (SSH) stays light; a
    // plain line brings them up to date at once.
    static constexpr std::chrono::milliseconds kRedrawEvery{250};
    // The progress bar's width where the terminal has room, and the narrowest bar worth showing.
    static constexpr int kBarWidth = 20;
    static constexpr int kNarrowestBar = 5;

    // Terminal when the stream is a terminal (and TERM is not "dumb"), else Plain; Json when asked.
    static Mode ModeFor(std::FILE* stream, bool json);

    // Without size, a terminal's size is read from stream, again whenever the terminal was resized;
    // without clock, the steady clock.
    CliOutput(Mode mode, std::FILE* stream, int liveSlots, SizeSource size = {}, ClockSource clock = {});

    Mode GetMode() const { return OutMode; }
    bool Json() const { return OutMode == Mode::Json; }
    bool Terminal() const { return OutMode == Mode::Terminal; }

    // One line of text (nothing in Json mode).
    void Line(const std::string& text);
    // One JSON event (only in Json mode).
    void Event(const std::string& json);
    // The state and live line of one device (Terminal mode only); an empty text shows no line. With more
    // than one device, the first live line counts them by state, with the run's time left when known
    // (SetRunLeft); below it come the lines of the active devices, then of the failed and refused ones,
    // as many as fit.
    void Live(int slot, LiveState state, const std::string& text);
    // An active device's line with a progress bar between label and numbers: "LABEL [####....] NUMBERS".
    // Where the terminal is narrow, the bar gets shorter or goes; the numbers stay whole.
    void LiveProgress(int slot, const std::string& label, int64_t done, int64_t total,
                      const std::string& numbers);
    // The whole run's time left, as words ("about 2 min 5 s left"), shown on the count line; empty: none.
    void SetRunLeft(const std::string& text);
    // Removes the live lines for good: what follows is plain lines only.
    void EndLive();

private:
    struct Slot {
        LiveState State = LiveState::Waiting;
        std::string Text;   // the whole line, or the label before the bar
        int64_t Done = -1;  // with a bar: how far of Total
        int64_t Total = 0;
        std::string Numbers; // after the bar
    };

    // Draws the live lines again where they changed: at once with force, else at most every kRedrawEvery.
    void Redraw(bool force);
    void ClearLive();
    std::vector<std::string> LiveFrame(TerminalSize size) const;
    std::string SlotLine(const Slot& s, size_t width) const;

    const Mode OutMode;
    std::FILE* const Stream;
    const SizeSource SizeOf;
    const ClockSource Now;
    std::mutex Lock;
    std::vector<Slot> Slots;
    std::string RunLeft;
    bool Ended = false;
    std::vector<std::string> Shown; // live lines on the screen below the last plain line
    std::chrono::steady_clock::time_point LastDraw{};
    bool DrawnOnce = false;
};
