// Benchmark: wall time of fwupdate-cli updating eight simulated devices in parallel with a 64 KiB image,
// against the same update of one device alone. The pacing is fixed (4.5 s of pauses and 50 ms per page),
// so the ratio shows what running devices side by side costs; the goal is at most 1.05.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/simprocess.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kImageBytes = 64 * 1024;
constexpr int kParallel = 8;

struct Setup {
    fs::path dir;
    std::string cfg;
    int32_t checksum = 0;
};

Setup WriteFirmware() {
    Setup s;
    s.dir = fs::temp_directory_path() / ("bench_cli_" + std::to_string(getpid()));
    fs::create_directories(s.dir);
    const std::vector<uint8_t> image = DemoImage(kImageBytes, 64);
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
        if (!sim->Start(FWDEVSIM_PATH, {"--address", addr, "--port", "0", "--no-reconnect-port", "--once"})) {
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
    if (!cli.Start(CLI_PATH, args)) {
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

} // namespace

BENCHMARK_MAIN();
