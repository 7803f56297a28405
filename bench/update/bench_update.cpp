// Wall time of a full update of a 64 KiB image at the real pace against the device simulator,
// divided by the floor that the fixed delays set: pages x 50 ms + 4000 + 10 + 3 + 500 ms.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "base/log.h"
#include "link/conbase.h"
#include "tests/tools/simprocess.h"
#include "tests/update/testdevice.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"
#include "update/fwconfig.h"
#include "update/updatestart.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kImageBytes = 64 * 1024;

void BM_FullUpdate64KiB(benchmark::State& state) {
    std::string tmpl = (fs::temp_directory_path() / "bench_update.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string dir = tmpl;
    TheLog().SetPath(dir + "/bench.log");
    const std::vector<uint8_t> image = DemoImage(kImageBytes, 64);
    ConfigFields fields;
    fields.Filename = "fw.bin";
    fields.Checksum = ImageChecksum(image.data(), image.size());
    WriteFileBytes(dir + "/fw.bin", image);
    WriteFileBytes(dir + "/fw.cfg", EncipherConfig(ConfigXml(fields)));

    SimProcess sim;
    if (!sim.Start(FWDEVSIM_PATH, {"--address", "127.0.0.46", "--port", "0", "--no-reconnect-port"})) {
        state.SkipWithError("fwdevsim did not start");
        return;
    }
    const int port = sim.WaitListening().value_or(0);
    ConBase link;
    RecordingView view;
    UpdateSession session(link, view);
    FwConfig config;
    const double pages = static_cast<double>(PageCount(kImageBytes));
    const double floorMs = pages * 50 + 4000 + 10 + 3 + 500;
    double worst = 0;
    double sum = 0;
    int runs = 0;

    for (auto _ : state) {
        if (port == 0 || session.OpenDevice("127.0.0.46", port) == 0) {
            state.SkipWithError("no connection to fwdevsim");
            break;
        }
        session.RequestIdentification();
        WaitUntil([&] {
            session.MsgCallback(0);
            return session.Online.load() == 1 && session.KennungReported.load();
        });
        const auto start = std::chrono::steady_clock::now();
        const UpdateOutcome outcome = session.StartUpdateWith(config, dir + "/fw.cfg");
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        worst = std::max(worst, took.count() * 1000 / floorMs);
        sum += took.count() * 1000 / floorMs;
        ++runs;
        if (outcome != UpdateOutcome::Ok)
            state.SkipWithError("update did not end OK");
        session.CloseDevice();
        WaitUntil([&] {
            session.MsgCallback(0);
            return session.CurrentDevice.load() == 0;
        });
    }
    state.counters["floor_ms"] = floorMs;
    state.counters["wall_over_floor_worst"] = worst;
    state.counters["wall_over_floor"] = runs > 0 ? sum / runs : 0;
    fs::remove_all(dir);
}

} // namespace

// One update takes about 17.3 s; two give a mean and a worst case.
BENCHMARK(BM_FullUpdate64KiB)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
