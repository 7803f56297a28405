// CliOutput: plain lines, the live progress lines of a terminal, and JSON Lines.
#include "tools/cli/clioutput.h"

#include "base/platform.h"

#include <cstdlib>
#include <cstring>

CliOutput::Mode CliOutput::ModeFor(std::FILE* stream, bool json) {
    if (json)
        return Mode::Json;
    const char* term = std::getenv("TERM");
    if (IsLiveTerminal(stream) && !(term != nullptr && std::strcmp(term, "dumb") == 0))
        return Mode::Terminal;
    return Mode::Plain;
}

CliOutput::CliOutput(Mode mode, std::FILE* stream, int liveSlots)
    : OutMode(mode), Stream(stream), LiveLines(static_cast<size_t>(liveSlots > 0 ? liveSlots : 0)) {}

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

void CliOutput::Live(int slot, const std::string& text) {
    if (OutMode != Mode::Terminal || slot < 0 || static_cast<size_t>(slot) >= LiveLines.size())
        return;
    std::lock_guard hold(Lock);
    LiveLines[static_cast<size_t>(slot)] = text;
    ClearLive();
    DrawLive();
    std::fflush(Stream);
}

void CliOutput::ClearLive() {
    if (Drawn > 0)
        std::fprintf(Stream, "\033[%dF\033[J", Drawn); // to the start of the first live line, clear below
    Drawn = 0;
}

void CliOutput::DrawLive() {
    if (OutMode != Mode::Terminal)
        return;
    // A live line must not wrap, or moving back up over the block would miss a row.
    const size_t width = Width();
    for (const std::string& line : LiveLines) {
        if (line.empty())
            continue;
        std::fputs(line.substr(0, width > 1 ? width - 1 : line.size()).c_str(), Stream);
        std::fputc('\n', Stream);
        ++Drawn;
    }
}

size_t CliOutput::Width() const {
    const int columns = TerminalColumns(Stream);
    return columns > 0 ? static_cast<size_t>(columns) : 80;
}
