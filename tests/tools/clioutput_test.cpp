// fwupdate-cli's live lines on a terminal of a set size, written to a file: every frame fits the rows,
// the summary counts the devices by state, and a resize is followed at the next redraw.
#include "tools/cli/clioutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using State = CliOutput::LiveState;

// A CliOutput in terminal mode on a temporary file, the terminal's size set by the test. Each redraw
// first moves up over the live lines drawn before and clears them, then draws the new ones.
class LiveScreen {
public:
    LiveScreen(int slots, TerminalSize size)
        : Size(size), File(std::tmpfile(), &std::fclose),
          Out(CliOutput::Mode::Terminal, File.get(), slots, [this] { return Size; }) {
        EXPECT_NE(File, nullptr);
    }

    // The live lines after the last call; checks that the redraw cleared exactly the lines drawn before,
    // and that the new lines fit the terminal with the cursor's row below them.
    std::vector<std::string> Frame() {
        std::string written = Written();
        const std::string clear = "\033[" + std::to_string(Drawn) + "F\033[J";
        if (Drawn > 0) {
            EXPECT_EQ(written.compare(0, clear.size(), clear), 0) << "the redraw does not clear " << Drawn;
            written.erase(0, clear.size());
        }
        const size_t plain = written.rfind(PlainLine);
        if (plain != std::string::npos)
            written.erase(0, plain + PlainLine.size() + 1);
        std::vector<std::string> lines;
        for (size_t at = 0, end; (end = written.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(written.substr(at, end - at));
        const int rows = Size.Rows > 0 ? Size.Rows : 24;
        const int columns = Size.Columns > 0 ? Size.Columns : 80;
        EXPECT_LT(static_cast<int>(lines.size()), rows) << "a frame taller than the terminal";
        for (const auto& line : lines)
            EXPECT_LT(static_cast<int>(line.size()), columns) << line;
        Drawn = static_cast<int>(lines.size());
        return lines;
    }

    void Live(int slot, State state, const std::string& text) {
        Out.Live(slot, state, text);
        Frame();
    }

    TerminalSize Size;
    const std::string PlainLine = "a plain line";

private:
    std::string Written() {
        std::fflush(File.get());
        std::fseek(File.get(), ReadTo, SEEK_SET);
        std::string bytes;
        char chunk[4096];
        while (const size_t n = std::fread(chunk, 1, sizeof chunk, File.get()))
            bytes.append(chunk, n);
        ReadTo = std::ftell(File.get());
        return bytes;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> File;
    long ReadTo = 0;
    int Drawn = 0;

public:
    CliOutput Out;
};

// The first devices are active, then failed, then done; the rest wait.
struct FrameCase {
    const char* label;
    TerminalSize size;
    int devices, active, failed, done;
    const char* summary; // the first live line, or "" for none
    size_t lines;        // live lines in the end, the summary included
    int textLength = 30;
};

class CliOutputFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(CliOutputFrame, FitsTheTerminalAndCountsTheDevices) {
    const FrameCase& c = GetParam();
    LiveScreen screen(c.devices, c.size);
    for (int i = 0; i < c.devices; ++i) {
        const std::string name =
            "device " + std::to_string(i) + std::string(static_cast<size_t>(c.textLength), '.');
        if (i < c.active)
            screen.Live(i, State::Active, name + " [####] page 4/9");
        else if (i < c.active + c.failed)
            screen.Live(i, State::Failed, name + ": update failed (exit 9)");
        else if (i < c.active + c.failed + c.done)
            screen.Live(i, State::Done, "");
        // a device that waits has not reported yet
    }
    screen.Out.Line(screen.PlainLine);
    const std::vector<std::string> lines = screen.Frame();
    ASSERT_EQ(lines.size(), c.lines);
    if (*c.summary != '\0') {
        EXPECT_EQ(lines.front(), c.summary);
    } else if (!lines.empty()) {
        EXPECT_NE(lines.front().find("device 0"), std::string::npos) << lines.front();
    }
    // Those at work come before the failures (below the summary).
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_FALSE(lines[i - 1].find("failed") != std::string::npos &&
                     lines[i].find("page") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, CliOutputFrame,
                         testing::Values(FrameCase{"EveryDeviceFits", {24, 80}, 8, 3, 1, 2, "", 3},
                                         FrameCase{"MoreDevicesThanRows",
                                                   {12, 80},
                                                   64,
                                                   12,
                                                   3,
                                                   40,
                                                   "64 devices: 12 active, 3 failed, 40 done, 9 waiting",
                                                   10},
                                         FrameCase{"FailuresStayInView",
                                                   {12, 80},
                                                   20,
                                                   2,
                                                   3,
                                                   10,
                                                   "20 devices: 2 active, 3 failed, 10 done, 5 waiting",
                                                   6},
                                         FrameCase{"RoomForTheSummaryOnly",
                                                   {3, 80},
                                                   5,
                                                   2,
                                                   0,
                                                   0,
                                                   "5 devices: 2 active, 0 failed, 0 done, 3 waiting",
                                                   1},
                                         FrameCase{"NoRoomAtAll", {2, 80}, 5, 2, 0, 0, "", 0},
                                         FrameCase{"NarrowTerminal", {24, 12}, 4, 4, 0, 0, "", 4, 60},
                                         FrameCase{"UnknownSizeCountsAs24Rows",
                                                   {0, 0},
                                                   30,
                                                   30,
                                                   0,
                                                   0,
                                                   "30 devices: 30 active, 0 failed, 0 done, 0 waiting",
                                                   22}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CliOutputResize, FollowsTheTerminalAtTheNextRedrawAndEndsWithPlainLines) {
    LiveScreen screen(40, {60, 100});
    for (int i = 0; i < 40; ++i)
        screen.Live(i, State::Active, "device " + std::to_string(i) + " page 1/9");
    screen.Out.Line(screen.PlainLine);
    EXPECT_EQ(screen.Frame().size(), 40u);

    screen.Size = {10, 100};
    screen.Out.Live(3, State::Active, "device 3 page 2/9");
    std::vector<std::string> lines = screen.Frame();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.front(), "40 devices: 40 active, 0 failed, 0 done, 0 waiting");
    EXPECT_EQ(lines[4], "device 3 page 2/9");

    screen.Size = {60, 100};
    screen.Out.Live(3, State::Done, "");
    EXPECT_EQ(screen.Frame().size(), 39u);

    screen.Out.EndLive();
    EXPECT_TRUE(screen.Frame().empty());
    screen.Out.Live(5, State::Active, "device 5 page 3/9");
    screen.Out.Line(screen.PlainLine);
    EXPECT_TRUE(screen.Frame().empty());
}

} // namespace
