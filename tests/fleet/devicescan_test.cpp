// The scan of an address range against simulated devices in this process: what answered is found in
// address order, what took the connection without identifying is named, refusals are counted, and a stop
// ends the scan with the stop's code.
#include "fleet/devicescan.h"

#include "link/sockets.h"
#include "tests/fleet/fleetsim.h"
#include "tests/support/waituntil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

ScanSettings Range(const std::string& range, int port) {
    ScanSettings s;
    s.Range = range;
    std::string error;
    s.Addresses = ParseAddressRange(range, error).value_or(AddressRange{});
    s.Port = port;
    s.Timeout = 10s;
    return s;
}

TEST(FleetScan, FindsWhatAnswersInAddressOrderAndNamesWhatDidNotIdentify) {
    // Three devices on one port of 127.0.0.170, .171 and .173, and .172 that hangs up at once.
    std::vector<std::unique_ptr<LoopbackSim>> sims;
    for (const int last : {173, 170, 171, 172}) {
        SimOptions o = SimAt("127.0.0." + std::to_string(last));
        o.Identity.Serial = last;
        o.HangUp = last == 172;
        sims.push_back(std::make_unique<LoopbackSim>(o, sims.empty() ? 0 : sims.front()->Port()));
        ASSERT_TRUE(sims.back()->Listening());
    }
    const int port = sims.front()->Port();
    EventLog log;
    ScanRun scan(Range("127.0.0.169-174", port), log);
    ASSERT_TRUE(RunToEnd(scan));
    const std::string p = ":" + std::to_string(port);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"found 127.0.0.170" + p, "found 127.0.0.171" + p,
                                        "unidentified 127.0.0.172" + p + ": 127.0.0.172" + p +
                                            " closed the connection at once, before any answer",
                                        "found 127.0.0.173" + p,
                                        "scan summary 6 scanned 3 found 1 unidentified 2 refused 0"}));
    EXPECT_EQ(scan.Code(), 0);
}

TEST(FleetScan, CountsTheAddressesThatRefused) {
    EventLog log;
    ScanRun scan(Range("127.0.0.176-177", 1), log);
    ASSERT_TRUE(RunToEnd(scan));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"scan summary 2 scanned 0 found 0 unidentified 2 refused 4"}));
}

TEST(FleetScan, AStopEndsItWithTheStopsCode) {
    EventLog log;
    ScanRun scan(Range("127.0.0.176-179", 1), log);
    scan.Stop({kExitHangUp, 1});
    ASSERT_TRUE(RunToEnd(scan));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"interrupted 1",
                                        "scan summary 0 scanned 0 found 0 unidentified 0 refused 129"}));
}

TEST(FleetScan, AProbeTheStopEndsIsNeitherScannedNorUnidentified) {
    int port = 0;
    std::string error;
    const SockHandle listener = SockListen("127.0.0.178", 0, true, 0, &port, &error);
    ASSERT_NE(listener, kNoSock) << error;
    EventLog log;
    ScanRun scan(Range("127.0.0.178", port), log);
    ASSERT_EQ(scan.Start(), "");
    // The probe has its connection and waits for answers that never come.
    SockHandle taken = kNoSock;
    ASSERT_TRUE(WaitUntil([&] { return (taken = SockAccept(listener)) != kNoSock; }));
    scan.Stop({kExitInterrupted, 2});
    EXPECT_TRUE(scan.Wait(60s));
    EXPECT_EQ(
        log.Lines(),
        (std::vector<std::string>{
            "interrupted 2", "scan summary 0 scanned 0 found 0 unidentified 0 refused 130 (1 unfinished)"}));
    SockClose(taken);
    SockClose(listener);
}

TEST(FleetScan, AnObserverMayStopTheScanFromEveryCallback) {
    LoopbackSim device(SimAt("127.0.0.179"));
    ASSERT_TRUE(device.Listening());
    EventLog log;
    ScanRun scan(Range("127.0.0.179", device.Port()), log);
    log.Hook = [&](const std::string&) { scan.Stop({kExitInterrupted, 2}); };
    UnderWatchdog([&] { ASSERT_TRUE(RunToEnd(scan)); });
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"found " + device.Device(), "interrupted 2",
                                        "scan summary 1 scanned 1 found 0 unidentified 0 refused 130"}));
}

} // namespace
