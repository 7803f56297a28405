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

CliOutput::CliOutput(Mode mode, std::FILE* stream, int liveSlots, SizeSource size)
    : OutMode(mode), Stream(stream), SizeOf(size ? std::move(size) : SizeOfTerminal(mode, stream, liveSlots)),
      Slots(static_cast<size_t>(liveSlots > 0 ? liveSlots : 0)) {}

void CliOutput::Line(const std::string& text) {
    if (OutMode == Mode::Json)
        return;
    std::lock_guard hold(Lock);
    ClearLive();
    std::fputs(text.c_str(), Stream);
    std::fputc('\n', Stream);
    DrawLive();
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
    Slots[static_cast<size_t>(slot)] = {state, text};
    ClearLive();
    DrawLive();
    std::fflush(Stream);
}

void CliOutput::EndLive() {
    std::lock_guard hold(Lock);
    ClearLive();
    Ended = true;
    std::fflush(Stream);
}

void CliOutput::ClearLive() {
    if (Drawn > 0)
        std::fprintf(Stream, "\033[%dF\033[J", Drawn); // to the start of the first live line, clear below
    Drawn = 0;
}

void CliOutput::DrawLive() {
    if (OutMode != Mode::Terminal || Ended)
        return;
    TerminalSize size = SizeOf ? SizeOf() : TerminalSize{};
    size.Rows = size.Rows > 0 ? size.Rows : kUsualSize.Rows;
    size.Columns = size.Columns > 0 ? size.Columns : kUsualSize.Columns;
    // A live line must not wrap, or moving back up over the block would miss a row.
    const size_t width = static_cast<size_t>(std::max(1, size.Columns - 1));
    for (const std::string& line : LiveFrame(size.Rows)) {
        std::fputs(line.substr(0, width).c_str(), Stream);
        std::fputc('\n', Stream);
        ++Drawn;
    }
}

std::vector<std::string> CliOutput::LiveFrame(int rows) const {
    std::vector<std::string> lines;
    const size_t room = static_cast<size_t>(std::max(0, rows - kMarginRows));
    if (Slots.size() <= room) {
        // Every device has room: the lines of those at work, each plain line above tells the rest.
        for (const Slot& s : Slots)
            if (s.State == LiveState::Active && !s.Text.empty())
                lines.push_back(s.Text);
        return lines;
    }
    if (room == 0)
        return lines;
    int count[4] = {};
    for (const Slot& s : Slots)
        ++count[static_cast<int>(s.State)];
    auto of = [&](LiveState state) { return std::to_string(count[static_cast<int>(state)]); };
    lines.push_back(std::to_string(Slots.size()) + " devices: " + of(LiveState::Active) + " active, " +
                    of(LiveState::Failed) + " failed, " + of(LiveState::Done) + " done, " +
                    of(LiveState::Waiting) + " waiting");
    // The plain lines of so many devices scroll away: failures stay in view below those at work.
    for (const LiveState state : {LiveState::Active, LiveState::Failed})
        for (const Slot& s : Slots)
            if (s.State == state && !s.Text.empty() && lines.size() < room)
                lines.push_back(s.Text);
    return lines;
}
