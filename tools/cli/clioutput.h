// CliOutput: where fwupdate-cli writes, from any thread: plain lines, or on a terminal the same lines
// with a live progress line per device kept below them, or JSON Lines events.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };

    // Terminal when the stream is a terminal (and TERM is not "dumb"), else Plain; Json when asked.
    static Mode ModeFor(std::FILE* stream, bool json);

    CliOutput(Mode mode, std::FILE* stream, int liveSlots);

    Mode GetMode() const { return OutMode; }
    bool Json() const { return OutMode == Mode::Json; }
    bool Terminal() const { return OutMode == Mode::Terminal; }

    // One line of text (nothing in Json mode).
    void Line(const std::string& text);
    // One JSON event (only in Json mode).
    void Event(const std::string& json);
    // The live line of one device (Terminal mode only); an empty text removes it.
    void Live(int slot, const std::string& text);

private:
    void ClearLive();
    void DrawLive();
    size_t Width() const;

    const Mode OutMode;
    std::FILE* const Stream;
    std::mutex Lock;
    std::vector<std::string> LiveLines;
    int Drawn = 0; // live lines on the screen below the last plain line
};
