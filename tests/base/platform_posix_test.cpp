// The POSIX platform layer's signals and terminal: stop signals reach the handler as often as asked, the
// next one ends the program, a signal ignored from the start stays ignored; a terminal's size and its
// resize notice.
#include "base/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<int> gCaught{0};

void StoreSignal(int sig) {
    gCaught.store(sig);
}

struct StopCase {
    const char* label;
    int ignoredAtStart; // 0: none
    std::vector<int> raised;
    int exitCode; // the child's: the signal its handler saw last; -1 when it is ended by a signal
    int endedBy = 0;
    int handled = 1; // requests that reach the handler
};

class PlatformStopSignals : public testing::TestWithParam<StopCase> {};

// In a child process, so that the signals reach no one else.
TEST_P(PlatformStopSignals, ReachTheHandlerAsOftenAsHandledThenEndTheProgram) {
    const StopCase& c = GetParam();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (c.ignoredAtStart != 0)
            std::signal(c.ignoredAtStart, SIG_IGN);
        CatchInterrupts(StoreSignal, c.handled);
        for (int sig : c.raised)
            std::raise(sig);
        _exit(gCaught.load());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.endedBy != 0) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.endedBy);
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlatformStopSignals,
    testing::Values(
        StopCase{"HangUpReachesTheHandler", 0, {SIGHUP}, SIGHUP},
        StopCase{"SecondOfAnotherKindEndsAtOnce", 0, {SIGINT, SIGHUP}, -1, SIGHUP},
        StopCase{"IgnoredAtStartStaysIgnored", SIGHUP, {SIGHUP}, 0},
        StopCase{"OthersStillCaughtBesideAnIgnoredOne", SIGHUP, {SIGHUP, SIGINT}, SIGINT},
        StopCase{"TwoHandledReachTheHandler", 0, {SIGTERM, SIGHUP}, SIGHUP, 0, 2},
        StopCase{"TheThirdOfTwoHandledEndsAtOnce", 0, {SIGTERM, SIGTERM, SIGINT}, -1, SIGINT, 2},
        StopCase{"EveryOneReachesTheHandlerWhenAllAreHandled", 0, {SIGINT, SIGINT, SIGTERM}, SIGTERM, 0, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(PlatformTerminal, SizeIsReadFromTheTerminalAndResizesAreNoticed) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::FILE* terminal = std::fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);

    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    ASSERT_EQ(ioctl(fileno(terminal), TIOCSWINSZ, &size), 0);
    EXPECT_TRUE(IsLiveTerminal(terminal));
    EXPECT_EQ(TerminalSizeOf(terminal).Rows, 40);
    EXPECT_EQ(TerminalSizeOf(terminal).Columns, 100);
    EXPECT_FALSE(IsLiveTerminal(file));
    EXPECT_EQ(TerminalSizeOf(file).Rows, 0);

    WatchTerminalResize();
    TerminalResized(); // whatever came before
    EXPECT_FALSE(TerminalResized());
    size.ws_row = 12;
    ASSERT_EQ(ioctl(fileno(terminal), TIOCSWINSZ, &size), 0);
    std::raise(SIGWINCH); // the pseudo-terminal is no controlling terminal: its notice goes to no one
    EXPECT_TRUE(TerminalResized());
    EXPECT_FALSE(TerminalResized());
    EXPECT_EQ(TerminalSizeOf(terminal).Rows, 12);

    std::fclose(file);
    std::fclose(terminal);
    ::close(master);
}

} // namespace
