// The scan of an address range against simulated devices in this process: what answered is found in
// address order, and a stop ends the scan with the stop's code.
#include "fleet/devicescan.h"

#include "tests/fleet/fleetsim.h"

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

TEST(FleetScan, FindsWhatAnswersInAddressOrder) {
    // Three devices on one port of 127.0.0.170, .171 and .173.
    std::vector<std::unique_ptr<LoopbackSim>> sims;
    for (const int last : {173, 170, 171}) {
        SimOptions o = SimAt("127.0.0." + std::to_string(last));
        o.Identity.Serial = last;
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
                                        "found 127.0.0.173" + p, "scan summary 6 scanned 3 found 0"}));
    EXPECT_EQ(scan.Code(), 0);
}

TEST(FleetScan, AStopEndsItWithTheStopsCode) {
    EventLog log;
    ScanRun scan(Range("127.0.0.176-179", 1), log);
    scan.Stop({kExitHangUp, 1});
    ASSERT_TRUE(RunToEnd(scan));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"interrupted 1", "scan summary 0 scanned 0 found 129"}));
}

} // namespace
