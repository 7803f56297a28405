// fwupdate-cli's live lines on a terminal of a set size, written to a file: every frame fits the rows,
// the summary counts the devices by state, a resize is followed at the next redraw, redraws are bounded
// in rate and write only what changed, the bar gives way before the numbers; and the run's time left.
#include "tools/cli/clioutput.h"
#include "tools/cli/runtimeleft.h"

#include "tests/support/testfolder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using State = CliOutput::LiveState;

// The rows a terminal shows for what was written: text overwrites at the cursor, a line feed goes to the
// start of the next row, ESC[nF and ESC[nE move n rows up or down to a row's start, ESC[K clears to the
// row's end and ESC[J to the screen's end.
class Screen {
public:
    void Feed(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\n') {
                ++Row;
                Col = 0;
                At(); // the row below exists now (the terminal scrolled if it had to)
            } else if (c == '\033') {
                size_t end = i + 2;
                while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end])))
                    ++end;
                ASSERT_LT(end, bytes.size());
                const int n = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
                switch (bytes[end]) {
                case 'F':
                    ASSERT_GE(Row, static_cast<size_t>(n)) << "up past the first row";
                    Row -= static_cast<size_t>(n);
                    Col = 0;
                    break;
                case 'E':
                    ASSERT_LT(Row + static_cast<size_t>(n), Rows.size()) << "down past the last row";
                    Row += static_cast<size_t>(n);
                    Col = 0;
                    break;
                case 'K':
                    At().resize(std::min(At().size(), Col));
                    break;
                case 'J':
                    At().resize(std::min(At().size(), Col));
                    Rows.resize(Row + 1);
                    break;
                default:
                    FAIL() << "unexpected escape " << bytes[end];
                }
                i = end;
            } else {
                std::string& row = At();
                if (row.size() < Col + 1)
                    row.resize(Col + 1, ' ');
                row[Col++] = c;
            }
        }
    }
    // The rows from the one after the last row holding plain up to the cursor's.
    std::vector<std::string> Below(const std::string& plain) {
        size_t from = 0;
        for (size_t r = 0; r < Row && r < Rows.size(); ++r)
            if (Rows[r] == plain)
                from = r + 1;
        std::vector<std::string> lines;
        for (size_t r = from; r < Row; ++r)
            lines.push_back(r < Rows.size() ? Rows[r] : "");
        return lines;
    }
    size_t CursorRow() const { return Row; }
    bool CursorAtRowStart() const { return Col == 0; }

private:
    std::string& At() {
        if (Rows.size() <= Row)
            Rows.resize(Row + 1);
        return Rows[Row];
    }
    std::vector<std::string> Rows;
    size_t Row = 0, Col = 0;
};

// A file of the test's own folder, open for writing and reading back. (std::tmpfile makes its file where the
// C library chooses: on Windows the root of the current drive, which an unprivileged user cannot write.)
std::FILE* OpenScratchFile(const TestFolder& folder) {
    std::FILE* file = folder.Path().empty() ? nullptr : std::fopen((folder / "live.out").c_str(), "w+b");
    if (!file)
        throw std::runtime_error("cannot make a scratch file in " + folder.Path());
    return file;
}

// A CliOutput in terminal mode on a scratch file, the terminal's size and the clock set by the test,
// what it writes fed to a Screen.
class LiveScreen {
public:
    LiveScreen(int slots, TerminalSize size)
        : Size(size), File(OpenScratchFile(Folder), &std::fclose),
          Out(CliOutput::Mode::Terminal, File.get(), slots, [this] { return Size; }, [this] { return Now; }) {}

    // The live lines after the last call; checks that they fit the terminal with the cursor's row below.
    std::vector<std::string> Frame() {
        Screen.Feed(Written());
        EXPECT_TRUE(Screen.CursorAtRowStart());
        const std::vector<std::string> lines = Screen.Below(PlainLine);
        const int rows = Size.Rows > 0 ? Size.Rows : 24;
        const int columns = Size.Columns > 0 ? Size.Columns : 80;
        EXPECT_LT(static_cast<int>(lines.size()), rows) << "a frame taller than the terminal";
        for (const auto& line : lines)
            EXPECT_LT(static_cast<int>(line.size()), columns) << line;
        return lines;
    }

    // A live line at a later time than the last redraw, so that it is drawn.
    void Live(int slot, State state, const std::string& text) {
        Now += CliOutput::kRedrawEvery;
        Out.Live(slot, state, text);
        Frame();
    }

    // What was written since the last call.
    std::string Written() {
        std::fflush(File.get());
        std::fseek(File.get(), ReadTo, SEEK_SET);
        std::string bytes;
        char chunk[4096];
        while (const size_t n = std::fread(chunk, 1, sizeof chunk, File.get()))
            bytes.append(chunk, n);
        ReadTo = std::ftell(File.get());
        Fed += bytes;
        return bytes;
    }

    TerminalSize Size;
    std::chrono::steady_clock::time_point Now{std::chrono::hours(1)};
    const std::string PlainLine = "a plain line";
    class Screen Screen;
    std::string Fed;

private:
    TestFolder Folder{"clioutput_test"};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> File;
    long ReadTo = 0;

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
    int refused = 0; // after those done
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
        else if (i < c.active + c.failed + c.done + c.refused)
            screen.Live(i, State::Refused, name + ": OEM rule (exit 5)");
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

INSTANTIATE_TEST_SUITE_P(
    Cases, CliOutputFrame,
    testing::Values(
        FrameCase{"EveryDeviceFits", {24, 80}, 8, 3, 1, 2, "8 devices: 3 active, 1 failed, 0 refused, 2 done, 2 waiting",
                  4},
        FrameCase{"MoreDevicesThanRows", {12, 80}, 64, 12, 3, 40,
                  "64 devices: 12 active, 3 failed, 0 refused, 40 done, 9 waiting", 10},
        FrameCase{"FailuresStayInView", {12, 80}, 20, 2, 3, 10,
                  "20 devices: 2 active, 3 failed, 0 refused, 10 done, 5 waiting", 6},
        FrameCase{"RefusalsCountedApart", {12, 80}, 20, 2, 3, 10,
                  "20 devices: 2 active, 3 failed, 4 refused, 10 done, 1 waiting", 10, 30, 4},
        FrameCase{"RoomForTheSummaryOnly", {3, 80}, 5, 2, 0, 0,
                  "5 devices: 2 active, 0 failed, 0 refused, 0 done, 3 waiting", 1},
        FrameCase{"NoRoomAtAll", {2, 80}, 5, 2, 0, 0, "", 0},
        FrameCase{"OneDeviceNeedsNoCount", {24, 80}, 1, 1, 0, 0, "", 1},
        FrameCase{"NarrowTerminal", {24, 12}, 4, 4, 0, 0, "4 devices: ", 5, 60},
        FrameCase{"UnknownSizeCountsAs24Rows", {0, 0}, 30, 30, 0, 0,
                  "30 devices: 30 active, 0 failed, 0 refused, 0 done, 0 waiting", 22}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CliOutputResize, FollowsTheTerminalAtTheNextRedrawAndEndsWithPlainLines) {
    LiveScreen screen(40, {60, 100});
    for (int i = 0; i < 40; ++i)
        screen.Live(i, State::Active, "device " + std::to_string(i) + " page 1/9");
    screen.Out.Line(screen.PlainLine);
    EXPECT_EQ(screen.Frame().size(), 41u);

    screen.Size = {10, 100};
    screen.Live(3, State::Active, "device 3 page 2/9");
    std::vector<std::string> lines = screen.Frame();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.front(), "40 devices: 40 active, 0 failed, 0 refused, 0 done, 0 waiting");
    EXPECT_EQ(lines[4], "device 3 page 2/9");

    screen.Size = {60, 100};
    screen.Live(3, State::Done, "");
    EXPECT_EQ(screen.Frame().size(), 40u);

    screen.Out.EndLive();
    EXPECT_TRUE(screen.Frame().empty());
    screen.Live(5, State::Active, "device 5 page 3/9");
    screen.Out.Line(screen.PlainLine);
    EXPECT_TRUE(screen.Frame().empty());
}

// Between two redraws changes wait (a plain line brings them at once); a redraw writes only the lines
// that changed.
TEST(CliOutputRedraw, WritesOnlyChangedLinesAtABoundedRate) {
    LiveScreen screen(3, {24, 80});
    for (int i = 0; i < 3; ++i)
        screen.Live(i, State::Active, "device " + std::to_string(i) + " page 1/9");
    screen.Frame();

    for (int page = 2; page <= 5; ++page)
        screen.Out.Live(1, State::Active, "device 1 page " + std::to_string(page) + "/9");
    EXPECT_EQ(screen.Written(), "") << "redrawn before its time";

    screen.Now += CliOutput::kRedrawEvery;
    screen.Out.Live(1, State::Active, "device 1 page 6/9");
    const std::string written = screen.Written();
    EXPECT_NE(written.find("device 1 page 6/9"), std::string::npos) << written;
    EXPECT_EQ(written.find("device 0"), std::string::npos) << "an unchanged line written again: " << written;
    EXPECT_EQ(written.find("device 2"), std::string::npos) << "an unchanged line written again: " << written;
    screen.Screen.Feed(written);
    std::vector<std::string> lines = screen.Screen.Below(screen.PlainLine);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "device 1 page 6/9");
    EXPECT_EQ(lines[3], "device 2 page 1/9");

    screen.Out.Live(2, State::Active, "device 2 page 2/9");
    screen.Out.Line(screen.PlainLine);
    lines = screen.Frame();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "device 2 page 2/9") << "a plain line brings the live lines up to date";
}

struct BarCase {
    const char* label;
    int columns;
    const char* line;
};

class CliOutputBar : public testing::TestWithParam<BarCase> {};

// At narrow widths the bar gets shorter, then goes, then the label gives way: the numbers stay whole.
TEST_P(CliOutputBar, ShortensTheBarBeforeTheNumbers) {
    const BarCase& c = GetParam();
    LiveScreen screen(1, {24, c.columns});
    screen.Out.LiveProgress(0, "127.0.0.2:2000", 5, 10, "page 5/10 (50%), 3 s left");
    const std::vector<std::string> lines = screen.Frame();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, CliOutputBar,
    testing::Values(BarCase{"Wide", 80, "127.0.0.2:2000 [##########..........] page 5/10 (50%), 3 s left"},
                    BarCase{"ShorterBar", 50, "127.0.0.2:2000 [###...] page 5/10 (50%), 3 s left"},
                    BarCase{"NoBar", 44, "127.0.0.2:2000 page 5/10 (50%), 3 s left"},
                    BarCase{"LabelGivesWay", 30, "127 page 5/10 (50%), 3 s left"}),
    [](const auto& info) { return std::string(info.param.label); });

struct LeftCase {
    const char* label;
    std::vector<DeviceTime> devices;
    double full;
    int jobs;
    double left;
};

class RunTimeLeft : public testing::TestWithParam<LeftCase> {};

TEST_P(RunTimeLeft, WaitingDevicesTakeThePlacesThatComeFreeFirst) {
    const LeftCase& c = GetParam();
    EXPECT_DOUBLE_EQ(RunSecondsLeft(c.devices, c.full, c.jobs), c.left);
}

constexpr DeviceTime Updating(double left) {
    return {DeviceStage::Updating, left};
}
constexpr DeviceTime kQueued{DeviceStage::Queued, 0};
constexpr DeviceTime kEnded{DeviceStage::Ended, 0};
constexpr DeviceTime kConnecting{DeviceStage::Connecting, 0};

INSTANTIATE_TEST_SUITE_P(
    Runs, RunTimeLeft,
    testing::Values(LeftCase{"NoUpdateBegunYet", {kConnecting, kQueued}, 0, 2, -1},
                    LeftCase{"AllAtOnceTheLongestLeft", {Updating(10), Updating(30), kEnded}, 40, 0, 30},
                    LeftCase{"AConnectingDeviceTakesAWholeUpdate", {Updating(10), kConnecting}, 40, 0, 40},
                    LeftCase{"TwoPlacesFiveWaiting",
                             {Updating(10), Updating(30), kQueued, kQueued, kQueued, kQueued, kQueued},
                             40, 2, 130}, // 10+40+40+40, 30+40+40
                    LeftCase{"AFreePlaceTakesTheFirstWaiting", {Updating(10), kQueued, kQueued}, 40, 2, 50},
                    LeftCase{"EveryDeviceEnded", {kEnded, kEnded}, 40, 2, 0}),
    [](const auto& info) { return std::string(info.param.label); });

} // namespace
