// CliOutput: where fwupdate-cli writes, from any thread: plain lines, or on a terminal the same lines
// with a live progress line per device kept below them, or JSON Lines events.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/platform.h"

class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };
    // Where a device stands, for the live lines and their summary.
    enum class LiveState { Waiting, Active, Failed, Done };
    // The terminal's size, asked at each redraw.
    using SizeSource = std::function<TerminalSize()>;

    // Rows kept free below the live lines (the cursor's) and above them (the last plain line).
    static constexpr int kMarginRows = 2;

    // Terminal when the stream is a terminal (and TERM is not "dumb"), else Plain; Json when asked.
    static Mode ModeFor(std::FILE* stream, bool json);

    // Without size, a terminal's size is read from stream, again whenever the terminal was resized.
    CliOutput(Mode mode, std::FILE* stream, int liveSlots, SizeSource size = {});

    Mode GetMode() const { return OutMode; }
    bool Json() const { return OutMode == Mode::Json; }
    bool Terminal() const { return OutMode == Mode::Terminal; }

    // One line of text (nothing in Json mode).
    void Line(const std::string& text);
    // One JSON event (only in Json mode).
    void Event(const std::string& json);
    // The state and live line of one device (Terminal mode only); an empty text shows no line. When the
    // devices outnumber the rows, one line counts them by state and below it come the lines of the
    // active and failed devices, as many as fit.
    void Live(int slot, LiveState state, const std::string& text);
    // Removes the live lines for good: what follows is plain lines only.
    void EndLive();

private:
    void ClearLive();
    void DrawLive();
    std::vector<std::string> LiveFrame(int rows) const;

    struct Slot {
        LiveState State = LiveState::Waiting;
        std::string Text;
    };

    const Mode OutMode;
    std::FILE* const Stream;
    const SizeSource SizeOf;
    std::mutex Lock;
    std::vector<Slot> Slots;
    bool Ended = false;
    int Drawn = 0; // live lines on the screen below the last plain line
};
