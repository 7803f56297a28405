// The idle link: a ConBase holds one device that only answers keep-alives. Prints the CPU share
// of the program over the measured time (utime + stime from /proc/self/stat) and the intervals
// between the keep-alives the device saw. The device runs in a child process, so its own CPU
// does not count. Usage: bench_idle [seconds]
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
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    int toParent[2];
    int toChild[2];
    if (pipe(toParent) != 0 || pipe(toChild) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        // The device: answers every request; stamps what arrives in milliseconds.
        FakeDevice fake;
        fake.SetClock([] { return static_cast<uint64_t>(NowMs()); });
        const int port = fake.Listen("127.0.0.1");
        [[maybe_unused]] ssize_t w = write(toParent[1], &port, sizeof port);
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
        _exit(0);
    }
    int port = 0;
    if (read(toParent[0], &port, sizeof port) != sizeof port)
        return 1;
    {
        ConBase link;
        const int h = link.Open("127.0.0.1", port);
        if (h <= 0) {
            std::fprintf(stderr, "cannot connect to the device\n");
            return 1;
        }
        const double cpu0 = CpuSeconds();
        const double t0 = NowMs();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = CpuSeconds() - cpu0;
        const double wall = (NowMs() - t0) / 1000.0;
        std::printf("idle link, one device, %.1f s: CPU %.3f s = %.3f%% of a core; device open: %s\n", wall,
                    cpu, 100.0 * cpu / wall, link.IsOpen(h) ? "yes" : "no");
    }
    const char go = 1;
    [[maybe_unused]] ssize_t w = write(toChild[1], &go, 1);
    int n = 0;
    if (read(toParent[0], &n, sizeof n) != sizeof n)
        return 1;
    std::vector<uint64_t> stamps(static_cast<size_t>(n));
    for (auto& s : stamps)
        if (read(toParent[0], &s, sizeof s) != sizeof s)
            return 1;
    waitpid(child, nullptr, 0);
    std::printf("keep-alives seen by the device: %d; intervals (ms):", n);
    for (size_t i = 1; i < stamps.size(); ++i)
        std::printf(" %llu", static_cast<unsigned long long>(stamps[i] - stamps[i - 1]));
    std::printf("\n");
    return 0;
}
