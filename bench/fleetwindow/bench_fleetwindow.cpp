// Benchmark: the window of many devices without a toolkit: its presenter, with a view that counts and keeps
// what it is told (this thread plays the UI thread), scans one `fwdevsim --count N`, selects every device and
// updates them all at once with a 16 KiB image. For 1 and 1,000 devices: the update's wall time against one
// device, how often the view was called (per second on average and in the busiest second), and the peak
// memory of this whole program (goal at 1,000: ratio <= 1.10, about 10 calls a second, <= 150 MB).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/fleetpresenter.h"
#include "base/platform.h"
#include "tests/app/recordingfleetview.h"
#include "tests/tools/simprocess.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kImageBytes = 16 * 1024;

// Peak resident memory of this process (VmHWM, KiB).
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// The view of the benchmark: the recording view, with the time of every call that drew rows.
class CountingView : public RecordingFleetView {
public:
    std::vector<Clock::time_point> Draws;
    void SetRows(size_t count, const std::vector<std::pair<size_t, FleetRow>>& changed) override {
        Draws.push_back(Clock::now());
        RecordingFleetView::SetRows(count, changed);
    }
};

struct Result {
    double Seconds = -1;
    double CallsPerSecond = 0;
    size_t BusiestSecond = 0;
    std::string Error;
};

Result UpdateAll(const fs::path& dir, int devices) {
    Result r;
    SimProcess sim;
    if (!sim.Start(FWDEVSIM_PATH, {"--address", "127.2.0.1", "--port", "0", "--no-reconnect-port", "--count",
                                   std::to_string(devices)})) {
        r.Error = "fwdevsim did not start";
        return r;
    }
    const auto port = sim.WaitListening(std::chrono::seconds(60));
    if (!port) {
        r.Error = "fwdevsim not listening: " + sim.ErrText();
        return r;
    }
    // The simulator's report lines and its notes are read as they come, so that it never waits for its
    // pipes.
    std::atomic<size_t> sessions{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            while (sim.NextJson(std::chrono::milliseconds(50)))
                ++sessions;
            sim.ErrText(std::chrono::milliseconds(0));
        }
    });
    struct Join {
        std::atomic<bool>& Done;
        std::thread& Reader;
        ~Join() {
            Done = true;
            Reader.join();
        }
    } join{done, reader};
    CountingView view;
    FleetOptions options;
    options.AutoReportPath = PathToUtf8(dir / ("report_" + std::to_string(devices) + ".csv"));
    FleetPresenter presenter(view, options);
    auto idle = [&] { return view.WaitFor([&] { return !presenter.Busy(); }, std::chrono::minutes(10)); };
    // 127.2.0.1 on: up to 254 devices in the first /24, 1,000 in the /22.
    presenter.OnScan(devices <= 254 ? "127.2.0.1-" + std::to_string(devices) : "127.2.0.0/22",
                     std::to_string(*port));
    if (!idle() || static_cast<int>(view.rows.size()) != devices) {
        r.Error = "the scan found " + std::to_string(view.rows.size()) + " devices";
        return r;
    }
    // The update begins once every device has ended its scan's session.
    for (size_t seen = 0; sessions < static_cast<size_t>(devices); seen = sessions)
        if (!view.WaitFor([&] { return sessions > seen; }, std::chrono::seconds(60))) {
            r.Error = "the scan's sessions did not end";
            return r;
        }
    view.nextConfig = PathToUtf8(dir / "bench.cfg");
    presenter.OnChooseConfig();
    presenter.OnSelectAll();
    view.Draws.clear();
    const auto start = Clock::now();
    presenter.OnUpdateSelected(0, 0);
    if (!idle()) {
        r.Error = "the update did not end";
        return r;
    }
    r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const FleetRow& row : view.rows)
        if (const std::string& state = row.Cells[static_cast<size_t>(FleetColumn::State)];
            state != "OK" && r.Error.empty())
            r.Error = "not every device is OK: " + view.status + "; " + row.Cells[0] + ": " + state;
    r.CallsPerSecond = static_cast<double>(view.Draws.size()) / r.Seconds;
    for (size_t i = 0, j = 0; i < view.Draws.size(); ++i) {
        while (view.Draws[i] - view.Draws[j] >= std::chrono::seconds(1))
            ++j;
        r.BusiestSecond = std::max(r.BusiestSecond, i - j + 1);
    }
    return r;
}

void FleetWindow(benchmark::State& state) {
    RaiseOpenFileLimit();
    const fs::path dir = fs::temp_directory_path() / ("bench_fleetwindow_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::vector<uint8_t> image = DemoImage(kImageBytes, 64);
    WriteFileBytes(PathToUtf8(dir / "BENCH.bin"), image);
    ConfigFields f;
    f.Filename = "BENCH.bin";
    f.Checksum = ImageChecksum(image.data(), image.size());
    WriteFileBytes(PathToUtf8(dir / "bench.cfg"), EncipherConfig(ConfigXml(f)));
    for (auto _ : state) {
        double one = 0;
        for (const int n : {1, 1000}) {
            const Result r = UpdateAll(dir, n);
            if (!r.Error.empty()) {
                state.SkipWithError(r.Error.c_str());
                break;
            }
            if (n == 1)
                one = r.Seconds;
            state.SetIterationTime(r.Seconds);
            state.counters["ratio_" + std::to_string(n)] = r.Seconds / one;
            std::printf(
                "16 KiB image, %4d devices: %.2f s, ratio %.3f, view drawn %.1f times a second (busiest "
                "second %zu), peak memory of the program so far %.1f MB\n",
                n, r.Seconds, r.Seconds / one, r.CallsPerSecond, r.BusiestSecond,
                static_cast<double>(PeakKiB()) / 1024.0);
            std::fflush(stdout);
        }
    }
    fs::remove_all(dir);
}

BENCHMARK(FleetWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
