// Tests of the diagnostic log: header, line ends, whole lines from several threads, long lines, the size
// restart and the fallback folder.
#include "base/log.h"
#include "base/platform.h"
#include "tests/support/testfolder.h"
#include "tests/support/testlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::regex kHeader(R"(\* (.+) (\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d), user: (.*)\n)");

bool IsHeader(const std::string& line) {
    return std::regex_match(line, kHeader);
}

// A fresh folder per test, removed afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The file's lines, each checked to end with CR LF (which is removed).
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "last line without CR LF";
            if (end == std::string::npos)
                break;
            std::string line = text.substr(start, end - start);
            // Only the header's own format ends in a line feed before its CR LF.
            EXPECT_EQ(line.find('\n'), IsHeader(line) ? line.size() - 1 : std::string::npos)
                << "stray LF in: " << line;
            lines.push_back(line);
            start = end + 2;
        }
        return lines;
    }

    TestFolder folder{"fwlog"};
    const fs::path dir = folder.Path();
};

TEST_F(LogTest, FileStartsWithHeaderOfProgramLocalTimeAndUser) {
    DiagnosticLog log(dir / "prog.log");
    std::time_t before = std::time(nullptr);
    log.Write("Q7Config::MsgCallback: CLOSED\n");
    std::time_t after = std::time(nullptr);

    std::string text = Read(dir / "prog.log");
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kHeader)) << lines[0];
    EXPECT_EQ(fs::path(m[1].str()), ExecutablePath());
    EXPECT_TRUE(fs::path(m[1].str()).is_absolute());
    std::tm when{};
    when.tm_mday = std::stoi(m[2]);
    when.tm_mon = std::stoi(m[3]) - 1;
    when.tm_year = std::stoi(m[4]) - 1900;
    when.tm_hour = std::stoi(m[5]);
    when.tm_min = std::stoi(m[6]);
    when.tm_sec = std::stoi(m[7]);
    when.tm_isdst = -1;
    std::time_t stamped = std::mktime(&when);
    EXPECT_GE(stamped, before - 1);
    EXPECT_LE(stamped, after + 1);
    EXPECT_EQ(m[8].str(), LoginName());
    EXPECT_FALSE(m[8].str().empty());
    EXPECT_EQ(lines[1], "Q7Config::MsgCallback: CLOSED");
    // The header's format ends in LF and is followed by CR LF, then the first line.
    const std::string tail = "\n\r\nQ7Config::MsgCallback: CLOSED\r\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(LogTest, FirstLineOfRunEmptiesOldFileLaterLinesAppend) {
    fs::path path = dir / "prog.log";
    std::ofstream(path, std::ios::binary) << "old run\nmore of the old run\n";
    DiagnosticLog log(path);
    EXPECT_EQ(Read(path), "old run\nmore of the old run\n") << "nothing written before the first line";
    log.Write("A::B: one\n");
    log.Write("A::B: two\n");
    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(IsHeader(lines[0]));
    EXPECT_EQ(lines[1], "A::B: one");
    EXPECT_EQ(lines[2], "A::B: two");
}

TEST_F(LogTest, PiecesMakeOneLineWrittenWhenItsLineFeedArrives) {
    fs::path path = dir / "prog.log";
    DiagnosticLog log(path);
    log.Write("VskComTest::ReceivedSerial: ");
    EXPECT_FALSE(fs::exists(path)) << "an unfinished line creates no file";
    log.Write("SERIAL=");
    log.Write("1234\nnext");
    log.Write(" line\r\n"); // a caller's own CR LF stays one line end
    log.Write("\n");        // an empty line is a line too
    LogLine("not this log");
    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "VskComTest::ReceivedSerial: SERIAL=1234");
    EXPECT_EQ(lines[2], "next line");
    EXPECT_EQ(lines[3], "");
}

TEST_F(LogTest, UnfinishedLinesAreWrittenWhenTheLogEnds) {
    fs::path path = dir / "prog.log";
    {
        DiagnosticLog log(path);
        log.Write("A::B: done\nA::B: half a line");
    }
    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "A::B: half a line");
}

struct LongLineCase {
    std::size_t length;
    std::vector<std::size_t> pieces; // lengths of the lines written
};

void PrintTo(const LongLineCase& c, std::ostream* os) {
    *os << c.length << " characters";
}

class LogLongLineTest : public LogTest, public ::testing::WithParamInterface<LongLineCase> {};

TEST_P(LogLongLineTest, LineIsWrittenInPiecesOnceItGrowsPast500Characters) {
    const LongLineCase& c = GetParam();
    std::string text;
    for (std::size_t i = 0; i < c.length; ++i)
        text += static_cast<char>('a' + i % 26);
    fs::path path = dir / "prog.log";
    DiagnosticLog log(path);
    // Written in small pieces, as a thread building a long line would.
    for (std::size_t i = 0; i < text.size(); i += 7)
        log.Write(std::string_view(text).substr(i, 7));
    log.Write("\n");
    log.Write("A::B: after\n");

    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), c.pieces.size() + 2);
    std::string joined;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        EXPECT_EQ(lines[i + 1].size(), c.pieces[i]) << "piece " << i;
        joined += lines[i + 1];
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(lines.back(), "A::B: after");
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogLongLineTest,
                         ::testing::Values(LongLineCase{499, {499}}, LongLineCase{500, {500}},
                                           LongLineCase{501, {501}}, // its line feed adds no empty line
                                           LongLineCase{502, {501, 1}}, LongLineCase{1002, {501, 501}},
                                           LongLineCase{1503, {501, 501, 501}}));

struct ThreadsCase {
    int threads;
    bool pieces; // each line in three pieces (so that the threads' pieces interleave), or whole at once
};

class LogThreadsTest : public LogTest, public ::testing::WithParamInterface<ThreadsCase> {};

TEST_P(LogThreadsTest, EveryLineComesOutWholeInEachThreadsOrder) {
    const ThreadsCase& c = GetParam();
    fs::path path = dir / "prog.log";
    DiagnosticLog log(path);
    constexpr int kLines = 2000;
    auto writer = [&log, &c](const std::string& name) {
        for (int i = 0; i < kLines; ++i) {
            if (c.pieces) {
                log.Write(name + "::Run: ");
                log.Write("line " + std::to_string(i));
                log.Write(" end\n");
            } else {
                log.Write(name + "::Run: line " + std::to_string(i) + " end\n");
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t)
        threads.emplace_back(writer, "Thread" + std::to_string(t));
    for (auto& t : threads)
        t.join();

    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 1u + static_cast<size_t>(c.threads) * kLines);
    EXPECT_TRUE(IsHeader(lines[0]));
    std::vector<int> next(static_cast<size_t>(c.threads), 0);
    const std::regex form(R"(Thread(\d+)::Run: line (\d+) end)");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, form)) << "broken line: " << lines[i];
        int& expected = next[static_cast<size_t>(std::stoi(m[1]))];
        EXPECT_EQ(std::stoi(m[2]), expected) << lines[i];
        expected = std::stoi(m[2]) + 1;
    }
    for (const int n : next)
        EXPECT_EQ(n, kLines);
}

INSTANTIATE_TEST_SUITE_P(Threads, LogThreadsTest,
                         ::testing::Values(ThreadsCase{2, true}, ThreadsCase{8, false},
                                           ThreadsCase{8, true}));

TEST_F(LogTest, FileIsBegunAgainWhenALineTakesItPastTheSizeLimit) {
    fs::path path = dir / "prog.log";
    DiagnosticLog log(path);
    log.SetSizeLimit(300);
    log.Write("A::B: first\n");
    const std::uintmax_t headerSize = fs::file_size(path) - std::string("A::B: first\r\n").size();
    const std::string line(48, 'x'); // 50 bytes with CR LF
    std::uintmax_t size = fs::file_size(path);
    int written = 0;
    while (size + 50 <= 300) { // these lines keep the file within the limit
        log.Write(line + "\n");
        size += 50;
        ++written;
        ASSERT_EQ(fs::file_size(path), size);
    }
    ASSERT_GT(written, 0);
    log.Write(line + "\n"); // this one takes the file past the limit
    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsHeader(lines[0]));
    EXPECT_EQ(fs::file_size(path), headerSize);

    log.Write("A::B: after the restart\n");
    lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "A::B: after the restart");
}

TEST_F(LogTest, KeptOldLogsLetEachRunAppendAfterAHeaderOfItsOwn) {
    fs::path path = dir / "prog.log";
    for (const char* run : {"A::B: first run", "A::B: second run"}) {
        DiagnosticLog log(path);
        log.KeepOldLogs(2);
        log.Write(std::string(run) + "\n");
    }
    std::vector<std::string> lines = Lines(Read(path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(IsHeader(lines[0]));
    EXPECT_EQ(lines[1], "A::B: first run");
    EXPECT_TRUE(IsHeader(lines[2]));
    EXPECT_EQ(lines[3], "A::B: second run");
}

// Files of runs that wrote beside a held log: the newest ones kept, and none that a run still writes.
TEST_F(LogTest, KeptOldLogsBoundTheFilesOfRunsSideBySide) {
    const fs::path path = dir / "prog.log";
    DiagnosticLog holder(path);
    holder.KeepOldLogs(2);
    holder.Write("A::B: the run that holds the file\n");
    DiagnosticLog stillWriting(dir / "prog.100.log");
    stillWriting.Write("A::B: a run that still writes its own file\n");
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(dir / "prog.100.log", now - std::chrono::hours(10));
    for (int pid = 101; pid <= 104; ++pid) {
        std::ofstream(dir / ("prog." + std::to_string(pid) + ".log")) << "an earlier run\n";
        fs::last_write_time(dir / ("prog." + std::to_string(pid) + ".log"), now - std::chrono::hours(110 - pid));
    }
    std::ofstream(dir / "prog.notes.log") << "not a run's file\n";

    DiagnosticLog second(path);
    second.KeepOldLogs(2);
    second.Write("A::B: side by side\n");
    EXPECT_EQ(second.Path(), dir / ("prog." + std::to_string(ProcessId()) + ".log"));
    EXPECT_TRUE(fs::exists(dir / "prog.100.log")) << "a file a run still writes";
    EXPECT_FALSE(fs::exists(dir / "prog.101.log"));
    EXPECT_FALSE(fs::exists(dir / "prog.102.log"));
    EXPECT_TRUE(fs::exists(dir / "prog.103.log"));
    EXPECT_TRUE(fs::exists(dir / "prog.104.log"));
    EXPECT_TRUE(fs::exists(dir / "prog.notes.log"));
}

struct OldLogsCase {
    int kept;
    int lines; // of 50 bytes each, with a limit of 300 bytes
};

class LogOldFilesTest : public LogTest, public ::testing::WithParamInterface<OldLogsCase> {};

// A full file moves to prog-1.log, the one there to prog-2.log, and so on: the newest lines are all kept,
// in order, in at most kept + 1 files, and none is larger than the limit and one line.
TEST_P(LogOldFilesTest, FullFileMovesToNumberedOldFilesUpToTheCountKept) {
    const OldLogsCase c = GetParam();
    fs::path path = dir / "prog.log";
    {
        DiagnosticLog log(path);
        log.KeepOldLogs(c.kept);
        log.SetSizeLimit(300);
        for (int i = 0; i < c.lines; ++i) {
            std::string line = "line " + std::to_string(1000 + i);
            log.Write(line + std::string(48 - line.size(), '.') + "\n");
        }
    }
    std::vector<std::string> all; // oldest file first, headers left out
    for (int n = c.kept + 1; n >= 0; --n) {
        const fs::path file = n == 0 ? path : OldLogPath(path, n);
        if (n == c.kept + 1) {
            EXPECT_FALSE(fs::exists(file)) << file;
            continue;
        }
        if (!fs::exists(file))
            continue;
        EXPECT_LE(fs::file_size(file), 350u) << file;
        for (const std::string& line : Lines(Read(file)))
            if (!IsHeader(line))
                all.push_back(line.substr(0, 9));
    }
    ASSERT_FALSE(all.empty());
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i], "line " + std::to_string(1000 + c.lines - all.size() + i)) << i;
    EXPECT_EQ(all.back(), "line " + std::to_string(1000 + c.lines - 1));
}

INSTANTIATE_TEST_SUITE_P(Counts, LogOldFilesTest,
                         ::testing::Values(OldLogsCase{1, 3}, OldLogsCase{1, 30}, OldLogsCase{3, 12},
                                           OldLogsCase{3, 60}));

TEST_F(LogTest, EachLineOfAThreadWithADeviceBeginsWithTheDevice) {
    TestLogFile file("fwlog");
    std::thread([] {
        const LogDeviceScope named("127.0.0.2:2000");
        LogLine("Q7Config::MsgCallback: CONNECTED");
        LogLine("A::B: two\nlines");
        {
            const LogDeviceScope inner("127.0.0.3:2000");
            LogLine("A::B: inner");
        }
        LogLine("A::B: outer again");
    }).join();
    LogLine("Q7Config::MsgCallback: CLOSED");
    std::vector<std::string> lines = file.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "127.0.0.2:2000 Q7Config::MsgCallback: CONNECTED");
    EXPECT_EQ(lines[2], "127.0.0.2:2000 A::B: two");
    EXPECT_EQ(lines[3], "127.0.0.2:2000 lines");
    EXPECT_EQ(lines[4], "127.0.0.3:2000 A::B: inner");
    EXPECT_EQ(lines[5], "127.0.0.2:2000 A::B: outer again");
    EXPECT_EQ(lines[6], "Q7Config::MsgCallback: CLOSED") << "a thread without a device writes the line as given";
}

TEST_F(LogTest, SetPathStartsANewFileThere) {
    DiagnosticLog log(dir / "one.log");
    log.Write("A::B: one\n");
    log.SetPath(dir / "two.log");
    EXPECT_EQ(log.Path(), dir / "two.log");
    log.Write("A::B: two\n");
    EXPECT_EQ(Lines(Read(dir / "one.log")).size(), 2u);
    std::vector<std::string> lines = Lines(Read(dir / "two.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(IsHeader(lines[0]));
    EXPECT_EQ(lines[1], "A::B: two");
}

// Sets or clears environment variables for one test and restores them afterwards.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved.push_back({name, old != nullptr, old != nullptr ? old : ""});
        SetEnvironment(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    ~ScopedEnv() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            SetEnvironment(it->name, it->had ? std::optional<std::string>(it->value) : std::nullopt);
        }
    }

private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved;
};

struct FallbackCase {
    const char* name;
    bool xdgSet;            // XDG_STATE_HOME points into the test folder, else HOME does
    const char* folderTail; // the fallback folder below the test folder
};

void PrintTo(const FallbackCase& c, std::ostream* os) {
    *os << c.name;
}

class LogFallbackTest : public LogTest, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(LogFallbackTest, UnwritableProgramFolderSendsTheLogToTheStateFolder) {
    const FallbackCase& c = GetParam();
    ScopedEnv env;
    if (c.xdgSet) {
        env.Set("XDG_STATE_HOME", PathToUtf8(dir / "state").c_str());
    } else {
        env.Set("XDG_STATE_HOME", nullptr);
        env.Set("HOME", PathToUtf8(dir / "home").c_str());
    }
    // Windows's state folder is %LOCALAPPDATA% (the POSIX lookup ignores it).
    env.Set("LOCALAPPDATA", PathToUtf8(dir / c.folderTail).c_str());
    // A folder below a regular file can never be created, whoever runs the test.
    std::ofstream(dir / "plainfile") << "x";
    DiagnosticLog log(dir / "plainfile" / "bin" / "prog.log");

    ::testing::internal::CaptureStderr();
    log.Write("A::B: kept\n");
    std::string note = ::testing::internal::GetCapturedStderr();

    fs::path expected = dir / c.folderTail / "fwupdate" / "prog.log";
    EXPECT_EQ(log.Path(), expected);
    EXPECT_NE(note.find(expected.string()), std::string::npos) << note;
    std::vector<std::string> lines = Lines(Read(expected));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(IsHeader(lines[0]));
    EXPECT_EQ(lines[1], "A::B: kept");
}

INSTANTIATE_TEST_SUITE_P(Folders, LogFallbackTest,
                         ::testing::Values(FallbackCase{"XdgStateHome", true, "state"},
                                           FallbackCase{"HomeLocalState", false, "home/.local/state"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LogTest, LinesGoToStandardErrorWhenNoFolderCanBeWritten) {
    ScopedEnv env;
    std::ofstream(dir / "plainfile") << "x";
    env.Set("XDG_STATE_HOME", PathToUtf8(dir / "plainfile" / "state").c_str());
    env.Set("LOCALAPPDATA", PathToUtf8(dir / "plainfile" / "state").c_str());
    DiagnosticLog log(dir / "plainfile" / "prog.log");

    ::testing::internal::CaptureStderr();
    log.Write("A::B: not lost\n");
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("A::B: not lost\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("cannot create"), std::string::npos) << out;
}

TEST(DefaultLogPathTest, IsTheProgramPathWithLogExtensionUnlessConfigured) {
    ScopedEnv env;
    env.Set("FWUPDATE_LOG", nullptr);
    fs::path program = ExecutablePath();
    EXPECT_EQ(DefaultLogPath(), program.parent_path() / (program.stem().string() + ".log"));
    env.Set("FWUPDATE_LOG", "/tmp/elsewhere/fw.log");
    EXPECT_EQ(DefaultLogPath(), fs::path("/tmp/elsewhere/fw.log"));
}

struct DesktopCase {
    const char* display;
    const char* wayland;
    const char* platform;
    bool missing;
};

TEST(DesktopSessionTest, IsMissingOnlyWithoutDisplayWaylandAndQtPlatform) {
    // Windows always has a desktop; there the environment decides nothing.
    const bool fromEnvironment = DESKTOP_FROM_ENVIRONMENT != 0;
    for (const DesktopCase& c :
         {DesktopCase{nullptr, nullptr, nullptr, fromEnvironment}, DesktopCase{":0", nullptr, nullptr, false},
          DesktopCase{nullptr, "wayland-0", nullptr, false},
          DesktopCase{nullptr, nullptr, "offscreen", false}}) {
        ScopedEnv env;
        env.Set("DISPLAY", c.display);
        env.Set("WAYLAND_DISPLAY", c.wayland);
        env.Set("QT_QPA_PLATFORM", c.platform);
        EXPECT_EQ(DesktopSessionMissing(), c.missing)
            << (c.display ? "DISPLAY " : "") << (c.wayland ? "WAYLAND_DISPLAY " : "")
            << (c.platform ? "QT_QPA_PLATFORM" : "");
    }
}

} // namespace
