// Benchmark: wall time of fwupdate-cli updating eight simulated devices in parallel with a 64 KiB image,
// against the same update of one device alone. The pacing is fixed (4.5 s of pauses and 50 ms per page),
// so the ratio shows what running devices side by side costs; the goal is at most 1.05.
// The fleet curve: 1, 64, 256 and 1,000 devices of one `fwdevsim --count N` with a 16 KiB image: the time
// against one device, the tool's CPU time and its peak memory (goal at 1,000: ratio <= 1.10, <= 100 MB).
// The fleet's truth: 3,000 devices from a device list, and how many the tool reported OK that did not
// receive the whole image (must be none).
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tools/simprocess.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kImageBytes = 64 * 1024;

// The programs measured: those of this build, or others to compare with (BENCH_CLI, BENCH_FWDEVSIM).
const char* Program(const char* variable, const char* built) {
    const char* other = std::getenv(variable);
    return other != nullptr && *other != '\0' ? other : built;
}
const char* const kCli = Program("BENCH_CLI", CLI_PATH);
const char* const kSim = Program("BENCH_FWDEVSIM", FWDEVSIM_PATH);
constexpr int kParallel = 8;

struct Setup {
    fs::path dir;
    std::string cfg;
    int32_t checksum = 0;
};

Setup WriteFirmware(size_t imageBytes = kImageBytes) {
    Setup s;
    s.dir = fs::temp_directory_path() /
            ("bench_cli_" + std::to_string(getpid()) + "_" + std::to_string(imageBytes));
    fs::create_directories(s.dir);
    const std::vector<uint8_t> image = DemoImage(imageBytes, 64);
    WriteFileBytes((s.dir / "BENCH.bin").string(), image);
    ConfigFields f;
    f.Filename = "BENCH.bin";
    s.checksum = ImageChecksum(image.data(), image.size());
    f.Checksum = s.checksum;
    s.cfg = (s.dir / "bench.cfg").string();
    WriteFileBytes(s.cfg, EncipherConfig(ConfigXml(f)));
    return s;
}

// Starts devices simulators, runs one fwupdate-cli for all of them and returns its wall time in seconds,
// or a negative value (with the reason) when something went wrong.
double UpdateDevices(const Setup& s, int devices, int firstAddress, std::string& error) {
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> args{"update", "--config", s.cfg, "--progress-every", "1000000"};
    for (int i = 0; i < devices; ++i) {
        auto sim = std::make_unique<SimProcess>();
        const std::string addr = "127.0.0." + std::to_string(firstAddress + i);
        if (!sim->Start(kSim, {"--address", addr, "--port", "0", "--no-reconnect-port", "--once"})) {
            error = "fwdevsim did not start";
            return -1;
        }
        const auto port = sim->WaitListening();
        if (!port) {
            error = "fwdevsim not listening on " + addr;
            return -1;
        }
        args.insert(args.end(), {"--device", addr + ":" + std::to_string(*port)});
        sims.push_back(std::move(sim));
    }
    SimProcess cli;
    const auto start = Clock::now();
    if (!cli.Start(kCli, args)) {
        error = "fwupdate-cli did not start";
        return -1;
    }
    while (cli.NextJson(std::chrono::seconds(120))) {
    }
    const auto code = cli.WaitExit(std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (code != 0) {
        error = "fwupdate-cli ended with " + (code ? std::to_string(*code) : std::string("a signal"));
        return -1;
    }
    const std::string pages = "\"pages\":" + std::to_string(PageCount(kImageBytes)) + ",";
    const std::string checksum = "\"checksum\":" + std::to_string(s.checksum) + ",";
    for (auto& sim : sims) {
        const auto json = sim->NextJson(std::chrono::seconds(10));
        if (!json || json->find(pages) == std::string::npos || json->find(checksum) == std::string::npos) {
            error = "a device did not receive the image intact: " + json.value_or("(no report)");
            return -1;
        }
    }
    return seconds;
}

void EightDevicesAgainstOne(benchmark::State& state) {
    const Setup s = WriteFirmware();
    for (auto _ : state) {
        std::string error;
        const double one = UpdateDevices(s, 1, 78, error);
        const double eight = one < 0 ? -1 : UpdateDevices(s, kParallel, 70, error);
        if (one < 0 || eight < 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(eight);
        state.counters["one_device_s"] = one;
        state.counters["eight_devices_s"] = eight;
        state.counters["ratio"] = eight / one;
        std::printf(
            "64 KiB image: one device %.2f s, eight devices in parallel %.2f s, ratio %.3f (goal <= 1.05)\n",
            one, eight, eight / one);
    }
    fs::remove_all(s.dir);
}

BENCHMARK(EightDevicesAgainstOne)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

constexpr size_t kFleetImageBytes = 16 * 1024;

// Peak resident memory (VmHWM, KiB) of the child of this process running `name`; 0 when not found.
long PeakKiBOfChild(const std::string& name) {
    long peak = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        const auto open = text.find('(');
        if (close == std::string::npos || open == std::string::npos ||
            text.substr(open + 1, close - open - 1) != name)
            continue;
        std::istringstream rest(text.substr(close + 2));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid != getpid())
            continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                peak = std::max(peak, std::stol(line.substr(6)));
    }
    return peak;
}

double ChildrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct FleetRun {
    double Seconds = -1;
    double CpuSeconds = 0;
    double SimCpuSeconds = 0; // the simulator's, from its start to its end
    long PeakKiB = 0;
};

// One `fwdevsim --count N` from 127.1.0.1 and one fwupdate-cli updating all N devices.
FleetRun UpdateFleet(const Setup& s, int devices, std::string& error) {
    FleetRun run;
    const double simCpu0 = ChildrenCpuSeconds();
    SimProcess sim;
    if (!sim.Start(kSim, {"--address", "127.1.0.1", "--port", "0", "--no-reconnect-port", "--once", "--count",
                          std::to_string(devices)})) {
        error = "fwdevsim did not start";
        return run;
    }
    const auto port = sim.WaitListening(std::chrono::seconds(60));
    if (!port) {
        error = "fwdevsim not listening: " + sim.ErrText();
        return run;
    }
    std::vector<std::string> args{"update", "--config", s.cfg, "--progress-every", "1000000"};
    for (int i = 0; i < devices; ++i) {
        const int host = 1 + i; // 127.1.0.1 on
        args.insert(args.end(), {"--device", "127.1." + std::to_string(host >> 8) + "." +
                                                 std::to_string(host & 255) + ":" + std::to_string(*port)});
    }
    SimProcess cli;
    const double cpu0 = ChildrenCpuSeconds();
    const auto start = Clock::now();
    if (!cli.Start(kCli, args)) {
        error = "fwupdate-cli did not start";
        return run;
    }
    // The peak memory is read while the tool runs (it only grows), the last time just before its end.
    std::atomic<bool> done{false};
    std::atomic<long> peak{0};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), PeakKiBOfChild("fwupdate-cli"));
            // The simulator's session lines, read as they come: a full pipe would hold its devices up.
            sim.ErrText();
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // sampling interval
        }
    });
    // What the tool said goes to a file beside the image, so that a failed run can be read.
    const fs::path said = s.dir.parent_path() / ("bench_cli_fleet_" + std::to_string(devices) + ".txt");
    {
        std::ofstream out(said);
        while (const auto line = cli.NextJson(std::chrono::seconds(300)))
            out << *line << "\n";
    }
    done = true;
    sampler.join();
    const auto code = cli.WaitExit(std::chrono::seconds(300));
    run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.CpuSeconds = ChildrenCpuSeconds() - cpu0;
    run.PeakKiB = peak;
    if (code != 0) {
        error = "fwupdate-cli ended with " + (code ? std::to_string(*code) : std::string("a signal")) +
                " (its output: " + said.string() + ")";
        run.Seconds = -1;
        return run;
    }
    const std::string pages = "\"pages\":" + std::to_string(PageCount(kFleetImageBytes)) + ",";
    const std::string checksum = "\"checksum\":" + std::to_string(s.checksum) + ",";
    for (int i = 0; i < devices; ++i) {
        const auto json = sim.NextJson(std::chrono::seconds(30));
        if (!json || json->find(pages) == std::string::npos || json->find(checksum) == std::string::npos) {
            error = "a device did not receive the image intact: " + json.value_or("(no report)");
            run.Seconds = -1;
            return run;
        }
    }
    sim.ErrText(std::chrono::seconds(30)); // its last lines, up to its end
    sim.WaitExit(std::chrono::seconds(30));
    run.SimCpuSeconds = ChildrenCpuSeconds() - simCpu0 - run.CpuSeconds;
    return run;
}

void FleetCurve(benchmark::State& state) {
    const Setup s = WriteFirmware(kFleetImageBytes);
    for (auto _ : state) {
        double one = 0;
        for (const int n : {1, 64, 256, 1000}) {
            if (std::getenv("FLEET_ONLY") != nullptr && n != 1 &&
                std::to_string(n) != std::getenv("FLEET_ONLY"))
                continue;
            std::string error;
            const FleetRun run = UpdateFleet(s, n, error);
            if (run.Seconds < 0) {
                state.SkipWithError(error.c_str());
                break;
            }
            if (n == 1)
                one = run.Seconds;
            state.SetIterationTime(run.Seconds);
            state.counters["ratio_" + std::to_string(n)] = run.Seconds / one;
            std::printf("16 KiB image, %4d devices: %.2f s, ratio %.3f, tool CPU %.2f s (%.0f%% of a core), "
                        "simulator CPU %.2f s, tool peak memory %.1f MB, every image intact\n",
                        n, run.Seconds, run.Seconds / one, run.CpuSeconds,
                        100.0 * run.CpuSeconds / run.Seconds, run.SimCpuSeconds,
                        static_cast<double>(run.PeakKiB) / 1024.0);
            std::fflush(stdout);
        }
    }
    fs::remove_all(s.dir);
}

BENCHMARK(FleetCurve)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// What the tool reported against what the devices received: N devices (3,000, or FLEET_TRUTH_DEVICES) of
// one `fwdevsim --count N`, updated from a device list. Every device the tool reports OK must have received
// the whole image, the end of the image and the update end; the row prints how many did, the time against
// one device and the tool's peak memory. BENCH_FWDEVSIM_OPTIONS adds options to the simulator (say
// "--page-ms 200 --receive-buffer 2048 --faulty 0,1").
struct Truth {
    double Seconds = -1;
    long PeakKiB = 0;
    int ReportedOk = 0, ReportedOther = 0, OkWhole = 0, OkNotWhole = 0, NotOkWhole = 0, Sessions = 0;
};

Truth UpdateFromList(const Setup& s, int devices, std::string& error) {
    Truth t;
    std::vector<std::string> simArgs{"--address", "127.1.0.1", "--port", "0", "--no-reconnect-port", "--once",
                                     "--count", std::to_string(devices)};
    if (const char* more = std::getenv("BENCH_FWDEVSIM_OPTIONS")) {
        std::istringstream words(more);
        for (std::string w; words >> w;)
            simArgs.push_back(w);
    }
    SimProcess sim;
    if (!sim.Start(kSim, simArgs)) {
        error = "fwdevsim did not start";
        return t;
    }
    const auto port = sim.WaitListening(std::chrono::seconds(120));
    if (!port) {
        error = "fwdevsim not listening: " + sim.ErrText();
        return t;
    }
    const fs::path list = s.dir / ("devices_" + std::to_string(devices) + ".txt");
    {
        std::ofstream out(list);
        for (int i = 0; i < devices; ++i)
            out << "127.1." << ((1 + i) >> 8) << "." << ((1 + i) & 255) << ":" << *port << "\n";
    }
    SimProcess cli;
    const auto start = Clock::now();
    if (!cli.Start(kCli, {"update", "--config", s.cfg, "--devices-from", list.string(), "--json"})) {
        error = "fwupdate-cli did not start";
        return t;
    }
    // The simulator's lines are read as they come (a full pipe would hold its devices up).
    std::atomic<bool> done{false};
    std::atomic<long> peak{0};
    std::vector<std::string> sessions;
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), PeakKiBOfChild("fwupdate-cli"));
            sim.ErrText();
            while (auto line = sim.NextJson(std::chrono::milliseconds(50)))
                sessions.push_back(*line);
        }
    });
    std::map<std::string, std::string> results; // by device
    while (const auto line = cli.NextJson(std::chrono::seconds(600))) {
        const auto e = nlohmann::json::parse(*line, nullptr, false);
        if (!e.is_discarded() && e.value("event", "") == "done")
            results[e.value("device", "")] = e.value("result", "");
    }
    cli.WaitExit(std::chrono::seconds(600));
    t.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sim.WaitExit(std::chrono::seconds(60));
    done = true;
    sampler.join();
    t.PeakKiB = peak;
    while (auto line = sim.NextJson(std::chrono::milliseconds(100)))
        sessions.push_back(*line);
    // A device's last session tells what it holds.
    std::map<std::string, bool> whole;
    for (const std::string& line : sessions) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.contains("address"))
            continue;
        ++t.Sessions;
        whole[j["address"].get<std::string>()] =
            j.value("pages", 0) == PageCount(kFleetImageBytes) && j.value("checksum", 0) == s.checksum &&
            j.value("imageEnded", false) && j.value("updateEnded", false);
    }
    for (const auto& [device, result] : results) {
        const bool ok = result == "ok";
        const auto w = whole.find(device.substr(0, device.rfind(':'))); // the simulator names the address
        const bool received = w != whole.end() && w->second;
        (ok ? t.ReportedOk : t.ReportedOther)++;
        if (ok)
            (received ? t.OkWhole : t.OkNotWhole)++;
        if (ok && !received && t.OkNotWhole <= 3) { // what such a device's simulator said, for the reader
            for (const std::string& line : sessions)
                if (line.find("\"" + device.substr(0, device.rfind(':')) + "\"") != std::string::npos)
                    std::printf("reported ok, not whole: %s\n", line.c_str());
        }
        else if (received)
            t.NotOkWhole++;
    }
    return t;
}

void FleetTruth(benchmark::State& state) {
    const Setup s = WriteFirmware(kFleetImageBytes);
    const char* count = std::getenv("FLEET_TRUTH_DEVICES");
    const int n = count != nullptr ? std::atoi(count) : 3000;
    for (auto _ : state) {
        std::string error;
        const Truth one = UpdateFromList(s, 1, error);
        const Truth all = one.Seconds < 0 ? one : UpdateFromList(s, n, error);
        if (all.Seconds < 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(all.Seconds);
        std::printf("16 KiB image, %d devices from a list: %.2f s against %.2f s for one (%.3fx), tool peak "
                    "memory %.1f MB; reported ok %d (received whole %d, NOT whole %d), other results %d "
                    "(of which received whole %d); simulator sessions %d\n",
                    n, all.Seconds, one.Seconds, all.Seconds / one.Seconds,
                    static_cast<double>(all.PeakKiB) / 1024.0, all.ReportedOk, all.OkWhole, all.OkNotWhole,
                    all.ReportedOther, all.NotOkWhole, all.Sessions);
        std::fflush(stdout);
        if (all.OkNotWhole != 0)
            state.SkipWithError("devices reported OK that did not receive the whole image");
    }
    fs::remove_all(s.dir);
}

BENCHMARK(FleetTruth)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
