// Device targets: the HOST[:PORT][=FILE.cfg] text (dotted IPv4 lookalikes refused), what makes two targets
// one device, and which link manager each device of a run goes to.
#include "fleet/devicetarget.h"
#include "fleet/linkgroups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TargetCase {
    const char* label;
    const char* text;
    bool allowConfig;
    const char* host; // nullptr: refused, error holds the words below
    int port;
    const char* configOrError;
};

class DeviceTargetText : public testing::TestWithParam<TargetCase> {};

TEST_P(DeviceTargetText, IsReadOrRefusedNamingTheText) {
    const TargetCase& c = GetParam();
    DeviceTarget t;
    std::string error;
    const bool read = ParseDeviceTarget(c.text, c.allowConfig, t, error);
    ASSERT_EQ(read, c.host != nullptr) << error;
    if (!read) {
        EXPECT_NE(error.find(c.configOrError), std::string::npos) << error;
        return;
    }
    EXPECT_EQ(t.Host, c.host);
    EXPECT_EQ(t.Port, c.port);
    EXPECT_EQ(t.Config, c.configOrError);
    EXPECT_EQ(t.Label, std::string(c.host) + ":" + std::to_string(c.port));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceTargetText,
    testing::Values(
        TargetCase{"HostOnly", "127.0.0.140", false, "127.0.0.140", 2000, ""},
        TargetCase{"HostAndPort", "127.0.0.140:2001", false, "127.0.0.140", 2001, ""},
        TargetCase{"OwnConfig", "127.0.0.140=a b.cfg", true, "127.0.0.140", 2000, "a b.cfg"},
        TargetCase{"LeadingZerosInThePort", "h:0065535", false, "h", 65535, ""},
        TargetCase{"ConfigOutsideUpdate", "h=a.cfg", false, nullptr, 0, "h=a.cfg: a configuration"},
        TargetCase{"NoConfigAfterEquals", "h=", true, nullptr, 0, "no configuration file"},
        TargetCase{"PortZero", "h:0", false, nullptr, 0, "h:0: the port must be"},
        TargetCase{"PortTooLarge", "h:65536", false, nullptr, 0, "the port must be"},
        TargetCase{"NoHost", ":2000", false, nullptr, 0, ":2000: no host"},
        TargetCase{"Ipv6", "[::1]:2000", false, nullptr, 0, "IPv4"},
        TargetCase{"TwoColons", "h:1:2", false, nullptr, 0, "more than one ':'"},
        TargetCase{"Blank", "a b", false, nullptr, 0, "'a b': blanks in the host"},
        TargetCase{"NumberAbove255", "127.0.20.300", false, nullptr, 0,
                   "127.0.20.300: '300': an IPv4 address is four numbers from 0 to 255"},
        TargetCase{"Commas", "127,0,20,8", false, nullptr, 0, "127,0,20,8: ',' in an IPv4 address"},
        TargetCase{"SemicolonBeforePort", "127.0.20.4;2000", false, nullptr, 0,
                   "127.0.20.4;2000: ';' in an IPv4 address"},
        TargetCase{"ThreeNumbers", "127.0.1:2000", false, nullptr, 0, "is four numbers"},
        TargetCase{"OctalLookingNumber", "127.0.0.010", false, nullptr, 0, "'010' starts with 0"},
        TargetCase{"Range", "127.0.20.0/24", false, nullptr, 0, "an address range"},
        TargetCase{"ZerosAreZero", "127.000.0.140", false, "127.000.0.140", 2000, ""},
        TargetCase{"NameWithDigits", "dsp-7.localhost", false, "dsp-7.localhost", 2000, ""}),
    [](const auto& info) { return std::string(info.param.label); });

DeviceTarget Target(const std::string& host, int port) {
    DeviceTarget t;
    t.Host = host;
    t.Port = port;
    t.Label = host + ":" + std::to_string(port);
    return t;
}

TEST(DeviceKeys, AnAddressWrittenTwoWaysIsOneDeviceAndAnotherPortAnother) {
    EXPECT_EQ(AddressKey("127.0.0.140"), AddressKey("127.000.0.140"));
    EXPECT_NE(AddressKey("127.0.0.140"), AddressKey("127.0.0.141"));
    EXPECT_NE(AddressKey("!"), AddressKey(" "));
    EXPECT_EQ(RepeatedDevice({Target("127.0.0.140", 2000), Target("127.0.0.140", 2001)}), nullptr);
    const std::vector<DeviceTarget> twice{Target("127.0.0.140", 2000), Target("127.0.0.141", 2000),
                                          Target("127.000.0.140", 2000)};
    EXPECT_EQ(RepeatedDevice(twice), &twice[2]);
}

TEST(DeviceLinkGroups, TheNthDeviceOfAnAddressGoesToTheNthManager) {
    const std::vector<DeviceTarget> devices{Target("127.0.0.140", 2000), Target("127.0.0.141", 2000),
                                            Target("127.0.0.140", 2001), Target("127.000.0.140", 2002),
                                            Target("!", 2000),           Target("!", 2001)};
    EXPECT_EQ(LinkGroups(devices), (std::vector<int>{0, 0, 1, 2, 0, 1}));
}

} // namespace
