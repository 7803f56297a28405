// The idle link: a ConBase holds one device that only answers keep-alives. Prints the CPU share
// of the program over the measured time (utime + stime from /proc/self/stat) and the intervals
// between the keep-alives the device saw. The device runs in a child process, so its own CPU
// does not count. With --stall S the device stops the program (SIGSTOP) for S seconds once the
// first keep-alive has come, then lets it go on (SIGCONT), as Ctrl-Z and fg or a debugger halt
// would: it prints when each keep-alive came, counted from the end of the stop, once three have come
// after it (or the link closed the device), and fails (exit 1) when the link closed the device or sent
// keep-alives less than 100 ms apart after the stop.
// Usage: bench_idle [seconds] [--stall S]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakedevice.h"
#include "link/conbase.h"

namespace {

// utime + stime of this process, in seconds.
double CpuSeconds() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses; utime and stime are fields 14 and 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    int stall = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--stall" && i + 1 < argc)
            stall = std::atoi(argv[++i]);
        else
            seconds = std::atoi(argv[i]);
    }
    const pid_t program = getpid();
    int toParent[2];
    int toChild[2];
    if (pipe(toParent) != 0 || pipe(toChild) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        // Each process keeps only its own ends: when one dies, the other reads the end of its pipe.
        close(toParent[0]);
        close(toChild[1]);
        // The device: answers every request; stamps what arrives in milliseconds.
        FakeDevice fake;
        fake.SetClock([] { return static_cast<uint64_t>(NowMs()); });
        const int port = fake.Listen("127.0.0.1");
        [[maybe_unused]] ssize_t w = write(toParent[1], &port, sizeof port);
        uint64_t resumed = 0;
        if (stall > 0) {
            // Once the link is idle and has sent its first keep-alive, the program stops.
            FakeDevice::WaitFor([&] { return !fake.Messages().empty(); }, std::chrono::seconds(5));
            kill(program, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::seconds(stall));
            resumed = static_cast<uint64_t>(NowMs());
            kill(program, SIGCONT);
            // Three keep-alives after the stop, about three seconds: a link that took the stop for
            // silence has closed the device by then.
            FakeDevice::WaitFor(
                [&] {
                    size_t after = 0;
                    for (const FakeMsg& m : fake.Messages())
                        after += m.Obj == 0 && m.Par == 1 && m.Stamp >= resumed ? 1 : 0;
                    return after >= 3 || fake.EndsOfStream() + fake.Resets() > 0;
                },
                std::chrono::seconds(10));
            const char observed = 1;
            w = write(toParent[1], &observed, 1);
        }
        char go;
        [[maybe_unused]] ssize_t r = read(toChild[0], &go, 1); // the parent's measurement is over
        std::vector<uint64_t> stamps;
        for (const FakeMsg& m : fake.Messages())
            if (m.Obj == 0 && m.Par == 1)
                stamps.push_back(m.Stamp);
        const int n = static_cast<int>(stamps.size());
        w = write(toParent[1], &n, sizeof n);
        for (uint64_t s : stamps)
            w = write(toParent[1], &s, sizeof s);
        w = write(toParent[1], &resumed, sizeof resumed);
        _exit(0);
    }
    close(toParent[1]);
    close(toChild[0]);
    // A device process that ended early is said, not waited for.
    const auto lost = [](const char* what) {
        std::fprintf(stderr, "the device process ended before it sent %s\n", what);
        return 1;
    };
    int port = 0;
    if (read(toParent[0], &port, sizeof port) != sizeof port)
        return lost("its port");
    bool open = false;
    {
        ConBase link;
        const int h = link.Open("127.0.0.1", port);
        if (h <= 0) {
            std::fprintf(stderr, "cannot connect to the device\n");
            return 1;
        }
        const double cpu0 = CpuSeconds();
        const double t0 = NowMs();
        if (stall > 0) {
            char observed;
            if (read(toParent[0], &observed, 1) != 1)
                return lost("the keep-alives after the stop");
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
        }
        const double cpu = CpuSeconds() - cpu0;
        const double wall = (NowMs() - t0) / 1000.0;
        std::printf("idle link, one device, %.1f s: CPU %.3f s = %.3f%% of a core; device open: %s\n", wall,
                    cpu, 100.0 * cpu / wall, link.IsOpen(h) ? "yes" : "no");
        open = link.IsOpen(h) != 0;
    }
    const char go = 1;
    [[maybe_unused]] ssize_t w = write(toChild[1], &go, 1);
    int n = 0;
    if (read(toParent[0], &n, sizeof n) != sizeof n)
        return lost("what it saw");
    std::vector<uint64_t> stamps(static_cast<size_t>(n));
    for (auto& s : stamps)
        if (read(toParent[0], &s, sizeof s) != sizeof s)
            return lost("what it saw");
    uint64_t resumed = 0;
    if (read(toParent[0], &resumed, sizeof resumed) != sizeof resumed)
        return lost("what it saw");
    waitpid(child, nullptr, 0);
    std::printf("keep-alives seen by the device: %d; intervals (ms):", n);
    for (size_t i = 1; i < stamps.size(); ++i)
        std::printf(" %llu", static_cast<unsigned long long>(stamps[i] - stamps[i - 1]));
    std::printf("\n");
    if (stall > 0) {
        std::printf("stopped for %d s; keep-alives after the stop, ms from its end:", stall);
        std::vector<uint64_t> after;
        for (uint64_t s : stamps)
            if (s >= resumed) {
                std::printf(" %lld", static_cast<long long>(s - resumed));
                after.push_back(s);
            }
        std::printf("\n");
        bool burst = false;
        for (size_t i = 1; i < after.size(); ++i)
            burst |= after[i] - after[i - 1] < 100;
        if (!open || burst || after.empty()) {
            std::printf("the stop %s\n", !open   ? "closed the device"
                                         : burst ? "caused a burst of keep-alives"
                                                 : "ended the keep-alives");
            return 1;
        }
    }
    return 0;
}
