// CliOutput: plain lines, the live progress lines of a terminal, and JSON Lines.
#include "tools/cli/clioutput.h"

#include "base/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

CliOutput::Mode CliOutput::ModeFor(std::FILE* stream, bool json) {
    if (json)
        return Mode::Json;
    const char* term = std::getenv("TERM");
    if (IsLiveTerminal(stream) && !(term != nullptr && std::strcmp(term, "dumb") == 0))
        return Mode::Terminal;
    return Mode::Plain;
}

namespace {

// Stands in for a terminal that does not tell its size.
constexpr TerminalSize kUsualSize{24, 80};

// The terminal's size, read again only after it was resized.
CliOutput::SizeSource SizeOfTerminal(CliOutput::Mode mode, std::FILE* stream, int liveSlots) {
    if (mode != CliOutput::Mode::Terminal || liveSlots <= 0)
        return {};
    WatchTerminalResize();
    return [stream, known = TerminalSize{}]() mutable {
        if (TerminalResized())
            known = TerminalSizeOf(stream);
        return known;
    };
}

} // namespace

CliOutput::CliOutput(Mode mode, std::FILE* stream, int liveSlots, SizeSource size, ClockSource clock)
    : OutMode(mode), Stream(stream), SizeOf(size ? std::move(size) : SizeOfTerminal(mode, stream, liveSlots)),
      Now(clock ? std::move(clock) : ClockSource([] { return std::chrono::steady_clock::now(); })),
      Slots(static_cast<size_t>(liveSlots > 0 ? liveSlots : 0)) {}

void CliOutput::Line(const std::string& text) {
    if (OutMode == Mode::Json)
        return;
    std::lock_guard hold(Lock);
    if (Shown.empty()) {
        std::fputs(text.c_str(), Stream);
        std::fputc('\n', Stream);
    } else {
        // In the place of the first live line; the live lines follow one row lower, each written anew.
        std::string cleared; // each row of the text clears what the live line there left
        for (const char c : text)
            cleared += c == '\n' ? std::string("\033[K\n") : std::string(1, c);
        std::fprintf(Stream, "\033[%zuF%s\033[K\n", Shown.size(), cleared.c_str());
        const std::vector<std::string> moved = std::move(Shown);
        Shown.clear();
        for (const std::string& line : moved) {
            std::fputs(line.c_str(), Stream);
            std::fputs("\033[K\n", Stream);
            Shown.push_back(line);
        }
    }
    Redraw(true);
    std::fflush(Stream);
}

void CliOutput::Event(const std::string& json) {
    if (OutMode != Mode::Json)
        return;
    std::lock_guard hold(Lock);
    std::fputs(json.c_str(), Stream);
    std::fputc('\n', Stream);
    std::fflush(Stream);
}

void CliOutput::Live(int slot, LiveState state, const std::string& text) {
    if (OutMode != Mode::Terminal || slot < 0 || static_cast<size_t>(slot) >= Slots.size())
        return;
    std::lock_guard hold(Lock);
    Slots[static_cast<size_t>(slot)] = {state, text, -1, 0, {}};
    Redraw(false);
    std::fflush(Stream);
}

void CliOutput::LiveProgress(int slot, const std::string& label, int64_t done, int64_t total,
                             const std::string& numbers) {
    if (OutMode != Mode::Terminal || slot < 0 || static_cast<size_t>(slot) >= Slots.size())
        return;
    std::lock_guard hold(Lock);
    Slots[static_cast<size_t>(slot)] = {LiveState::Active, label, std::max<int64_t>(0, done), total, numbers};
    Redraw(false);
    std::fflush(Stream);
}

void CliOutput::SetRunLeft(const std::string& text) {
    if (OutMode != Mode::Terminal)
        return;
    std::lock_guard hold(Lock);
    RunLeft = text;
}

void CliOutput::EndLive() {
    std::lock_guard hold(Lock);
    ClearLive();
    Ended = true;
    std::fflush(Stream);
}

void CliOutput::ClearLive() {
    if (!Shown.empty())
        std::fprintf(Stream, "\033[%zuF\033[J", Shown.size()); // to the start of the first live line, clear below
    Shown.clear();
}

void CliOutput::Redraw(bool force) {
    if (OutMode != Mode::Terminal || Ended)
        return;
    const auto now = Now();
    if (!force && DrawnOnce && now - LastDraw < kRedrawEvery)
        return; // the next redraw shows this change too
    DrawnOnce = true;
    LastDraw = now;
    TerminalSize size = SizeOf ? SizeOf() : TerminalSize{};
    size.Rows = size.Rows > 0 ? size.Rows : kUsualSize.Rows;
    size.Columns = size.Columns > 0 ? size.Columns : kUsualSize.Columns;
    const std::vector<std::string> frame = LiveFrame(size);
    size_t first = 0; // the first line that differs
    while (first < frame.size() && first < Shown.size() && frame[first] == Shown[first])
        ++first;
    if (first == frame.size() && first == Shown.size())
        return;
    // Up to the first changed line; lines that stay as they are are stepped over, not written again.
    if (Shown.size() > first)
        std::fprintf(Stream, "\033[%zuF", Shown.size() - first);
    size_t over = 0;
    for (size_t i = first; i < frame.size(); ++i) {
        if (i < Shown.size() && frame[i] == Shown[i]) {
            ++over;
            continue;
        }
        if (over > 0)
            std::fprintf(Stream, "\033[%zuE", over);
        over = 0;
        std::fputs(frame[i].c_str(), Stream);
        std::fputs("\033[K\n", Stream);
    }
    if (over > 0)
        std::fprintf(Stream, "\033[%zuE", over);
    if (frame.size() < Shown.size())
        std::fputs("\033[J", Stream); // the lines below the new last one go
    Shown = frame;
}

std::string CliOutput::SlotLine(const Slot& s, size_t width) const {
    if (s.Done < 0)
        return s.Text.substr(0, width);
    // "LABEL [bar] NUMBERS": the bar takes what room is left, up to its full width.
    const size_t fixed = s.Text.size() + 1 + s.Numbers.size();
    const long room = static_cast<long>(width) - static_cast<long>(fixed) - 3;
    const long bar = std::min<long>(kBarWidth, room);
    if (bar >= kNarrowestBar) {
        const int64_t filled = s.Total > 0 ? std::min<int64_t>(s.Done, s.Total) * bar / s.Total : 0;
        return s.Text + " [" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(bar - filled), '.') + "] " + s.Numbers;
    }
    if (fixed <= width)
        return s.Text + " " + s.Numbers;
    // Narrower still: the label gives way to the numbers.
    if (s.Numbers.size() + 1 < width)
        return s.Text.substr(0, width - s.Numbers.size() - 1) + " " + s.Numbers;
    return s.Numbers.substr(0, width);
}

std::vector<std::string> CliOutput::LiveFrame(TerminalSize size) const {
    // A live line must not wrap, or moving back up over the block would miss a row.
    const size_t width = static_cast<size_t>(std::max(1, size.Columns - 1));
    std::vector<std::string> lines;
    const size_t room = static_cast<size_t>(std::max(0, size.Rows - kMarginRows));
    if (room == 0)
        return lines;
    if (Slots.size() > 1) {
        int count[5] = {};
        for (const Slot& s : Slots)
            ++count[static_cast<int>(s.State)];
        auto of = [&](LiveState state) { return std::to_string(count[static_cast<int>(state)]); };
        std::string summary = std::to_string(Slots.size()) + " devices: " + of(LiveState::Active) +
                              " active, " + of(LiveState::Failed) + " failed, " + of(LiveState::Refused) +
                              " refused, " + of(LiveState::Done) + " done, " + of(LiveState::Waiting) +
                              " waiting";
        if (!RunLeft.empty())
            summary += "; " + RunLeft;
        lines.push_back(summary.substr(0, width));
    }
    // With every device in view, each plain line above tells the rest; with more devices than rows the
    // plain lines scroll away, so failures and refusals stay in view below those at work.
    const bool crowded = Slots.size() + lines.size() > room;
    for (const LiveState state : {LiveState::Active, LiveState::Failed, LiveState::Refused}) {
        if (state != LiveState::Active && !crowded)
            break;
        for (const Slot& s : Slots)
            if (s.State == state && !s.Text.empty() && lines.size() < room)
                lines.push_back(SlotLine(s, width));
    }
    return lines;
}
